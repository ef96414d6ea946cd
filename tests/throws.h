// What a call raised, for tests that check an exception's class and its whole text.
#pragma once
#include <gtest/gtest.h>

#include <exception>
#include <string>

namespace velarin::testsupport {

// The message of the exception of type E that f raises; fails the test otherwise.
template <class E, class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.Message();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "other exception: " << e.what();
    return "";
  }
  ADD_FAILURE() << "no exception";
  return "";
}

}  // namespace velarin::testsupport
