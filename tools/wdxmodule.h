// Loads a content plug-in module the way a file manager does and holds its five exports.
#pragma once
#include <string>

#ifdef _WIN32
#include <windows.h>
#define WDX_CALL __stdcall
#else
#include <dlfcn.h>
#define WDX_CALL
#endif

namespace velarin::tools {

// A loaded module; unloads it when destroyed. Move-only.
class WdxModule {
 public:
  using GetDetectStringFn = void(WDX_CALL*)(char*, int);
  using GetSupportedFieldFn = int(WDX_CALL*)(int, char*, char*, int);
  using GetSupportedFieldFlagsFn = int(WDX_CALL*)(int);
  using GetValueFn = int(WDX_CALL*)(const char*, int, int, void*, int, int);
  using SetValueFn = int(WDX_CALL*)(const char*, int, int, int, const void*, int);

  WdxModule() = default;
  WdxModule(const WdxModule&) = delete;
  WdxModule& operator=(const WdxModule&) = delete;
  WdxModule(WdxModule&& o) noexcept { *this = std::move(o); }
  WdxModule& operator=(WdxModule&& o) noexcept {
    if (this != &o) {
      Unload();
      handle_ = o.handle_;
      GetDetectString = o.GetDetectString;
      GetSupportedField = o.GetSupportedField;
      GetSupportedFieldFlags = o.GetSupportedFieldFlags;
      GetValue = o.GetValue;
      SetValue = o.SetValue;
      o.handle_ = nullptr;
    }
    return *this;
  }
  ~WdxModule() { Unload(); }

  // Loads path and resolves the five exports; answers "" or what went wrong.
  std::string Load(const std::string& path) {
    Unload();
#ifdef _WIN32
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h) return "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    handle_ = h;
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      const char* why = dlerror();
      return "cannot load " + path + (why ? std::string(": ") + why : std::string());
    }
#endif
    std::string missing;
    GetDetectString = Resolve<GetDetectStringFn>("ContentGetDetectString", missing);
    GetSupportedField = Resolve<GetSupportedFieldFn>("ContentGetSupportedField", missing);
    GetSupportedFieldFlags = Resolve<GetSupportedFieldFlagsFn>("ContentGetSupportedFieldFlags", missing);
    GetValue = Resolve<GetValueFn>("ContentGetValue", missing);
    SetValue = Resolve<SetValueFn>("ContentSetValue", missing);
    if (!missing.empty()) {
      Unload();
      return path + " is not a content plug-in: it lacks" + missing;
    }
    return std::string();
  }

  // Unloads the module (the module's shutdown runs); the exports become null.
  void Unload() {
    if (handle_) {
#ifdef _WIN32
      FreeLibrary(static_cast<HMODULE>(handle_));
#else
      dlclose(handle_);
#endif
    }
    handle_ = nullptr;
    GetDetectString = nullptr;
    GetSupportedField = nullptr;
    GetSupportedFieldFlags = nullptr;
    GetValue = nullptr;
    SetValue = nullptr;
  }

  bool Loaded() const noexcept { return handle_ != nullptr; }

  GetDetectStringFn GetDetectString = nullptr;
  GetSupportedFieldFn GetSupportedField = nullptr;
  GetSupportedFieldFlagsFn GetSupportedFieldFlags = nullptr;
  GetValueFn GetValue = nullptr;
  SetValueFn SetValue = nullptr;

 private:
  template <class Fn>
  Fn Resolve(const char* name, std::string& missing) {
#ifdef _WIN32
    void* p = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    void* p = dlsym(handle_, name);
#endif
    if (!p) missing += std::string(" ") + name;
    return reinterpret_cast<Fn>(p);
  }

  void* handle_ = nullptr;
};

}  // namespace velarin::tools
