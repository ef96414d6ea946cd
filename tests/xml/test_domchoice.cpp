// The default back-end follows VELARIN_DOM, read at every request.
#include <cstdlib>
#include <optional>

#include "tests/xml/dom_conformance.h"
#include "tests/xml/xmltest.h"

namespace xmltest {
namespace {

// Makes no documents: a document opened through it fails, which shows whose it was.
class StubImplementation : public IDOMImplementation {
 public:
  DOMDocument createDocument() override { return nullptr; }
};

void SetChoice(const char* value) {
#ifdef _WIN32
  _putenv_s("VELARIN_DOM", value ? value : "");
#else
  if (value)
    setenv("VELARIN_DOM", value, 1);
  else
    unsetenv("VELARIN_DOM");
#endif
}

class ChosenBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("VELARIN_DOM")) saved_ = old;
    SetChoice(nullptr);
    first_ = GetDOM();
    RegisterDOMVendor("stub", stub_);
  }
  void TearDown() override {
    UnregisterDOMVendor("stub");
    SetChoice(saved_ ? saved_->c_str() : nullptr);
  }
  std::optional<std::string> saved_;
  std::shared_ptr<IDOMImplementation> first_;
  std::shared_ptr<IDOMImplementation> stub_ = std::make_shared<StubImplementation>();
};

TEST_F(ChosenBackend, FollowsTheVariableAtEveryCall) {
  EXPECT_NE(first_, stub_) << "the stub came last, so it is never the first";
  const struct {
    const char* value;
    bool stub;
  } cases[] = {
      {nullptr, false}, {"stub", true},  {"", false},     {"stub", true},
      {"STUB", false},  {"stub ", false}, {"no-such-dom", false}, {nullptr, false},
  };
  for (const auto& c : cases) {
    SetChoice(c.value);
    EXPECT_EQ(GetDOM(), c.stub ? stub_ : first_) << (c.value ? c.value : "(unset)");
  }
}

TEST_F(ChosenBackend, NamedRequestsIgnoreIt) {
  SetChoice("stub");
  EXPECT_NE(GetDOM(domtest::kPlatformBackends.front()), stub_);
  EXPECT_THROW(GetDOM("no-such-dom"), Exception);
  UnregisterDOMVendor("stub");
  EXPECT_EQ(GetDOM(), first_) << "a back-end gone since is no longer chosen";
}

// Every document opened afterwards asks the registry again.
TEST_F(ChosenBackend, DocumentsOpenThroughTheChosenOne) {
  SetChoice("stub");
  EXPECT_EQ(MessageOf<EXMLDocError>([] { Open("<a/>"); }), "No active document");
  SetChoice(nullptr);
  EXPECT_EQ(U8(Top(Open("<a/>"))->LocalName()), "a");
}

}  // namespace
}  // namespace xmltest
