// The registry of DOM back-ends by description; the platform's own comes first.
#include "xml/xmldom.h"

#include <cstdlib>
#include <utility>

namespace velarin::xml {
namespace {

struct Vendor {
  std::string description;
  std::shared_ptr<IDOMImplementation> impl;
};

// The host makes one call at a time, so the registry needs no lock.
std::vector<Vendor>& Vendors() {
  static std::vector<Vendor> vendors;
  static bool platformRegistered = false;
  if (!platformRegistered) {
    platformRegistered = true;  // set first: RegisterPlatformDOM comes back here
    RegisterPlatformDOM();
  }
  return vendors;
}

}  // namespace

void RegisterDOMVendor(const std::string& description, std::shared_ptr<IDOMImplementation> impl) {
  auto& vendors = Vendors();
  for (const auto& v : vendors)
    if (v.description == description)
      throw Exception(Format("\"%s\" DOMImplementation already registered", description.c_str()));
  vendors.push_back({description, std::move(impl)});
}

void UnregisterDOMVendor(const std::string& description) {
  auto& vendors = Vendors();
  for (auto it = vendors.begin(); it != vendors.end(); ++it)
    if (it->description == description) {
      vendors.erase(it);
      return;
    }
}

std::shared_ptr<IDOMImplementation> GetDOM(const std::string& description) {
  auto& vendors = Vendors();
  if (description.empty()) {
    // VELARIN_DOM picks another registered back-end. It is read at every call, so a
    // process can switch between books; a name not registered is no reason to fail a host.
    const char* chosen = std::getenv("VELARIN_DOM");
    if (chosen && *chosen)
      for (const auto& v : vendors)
        if (v.description == chosen) return v.impl;
    if (!vendors.empty()) return vendors.front().impl;
  } else {
    for (const auto& v : vendors)
      if (v.description == description) return v.impl;
  }
  throw Exception(Format("No matching DOM Vendor: \"%s\"", description.c_str()));
}

}  // namespace velarin::xml
