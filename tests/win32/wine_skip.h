// Marks a test case whose expectation Wine's MSXML does not meet, with the reason.
#pragma once
#include <gtest/gtest.h>

#include "platform/win32/wine.h"

#define VELARIN_SKIP_UNDER_WINE(reason)                                  \
  do {                                                                   \
    if (::velarin::platform::RunningUnderWine())                         \
      GTEST_SKIP() << "known to differ under Wine: " << (reason);        \
  } while (0)
