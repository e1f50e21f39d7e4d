// Reads a program's resources back through the Windows API, as Explorer's properties dialog
// and the program loader see them:
//   version_probe PROGRAM
// Prints one "name=value" line per finding: the fixed file and product versions, the strings of
// the version resource's first translation, whether there is an icon, then "manifest:" and the
// manifest's text. Exit status 1 when the file has no version resource or no manifest.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Quad(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
         std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

bool PrintVersion(const char* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  std::vector<char> info(size);
  if (size == 0 || !GetFileVersionInfoA(path, 0, size, info.data())) {
    std::printf("no version resource (error %lu)\n", GetLastError());
    return false;
  }
  void* value = nullptr;
  UINT length = 0;
  if (VerQueryValueA(info.data(), "\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    std::printf("fixed file version=%s\n",
                Quad(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str());
    std::printf("fixed product version=%s\n",
                Quad(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
  }
  // Explorer looks the strings up under the language and code page the resource lists first.
  struct Translation {
    WORD language, code_page;
  };
  if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length) ||
      length < sizeof(Translation)) {
    std::printf("no translation in the version resource\n");
    return false;
  }
  const auto* translation = static_cast<const Translation*>(value);
  char table[32];
  std::snprintf(table, sizeof table, "\\StringFileInfo\\%04x%04x\\", translation->language,
                translation->code_page);
  for (const char* name : {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                           "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"}) {
    if (VerQueryValueA(info.data(), (std::string(table) + name).c_str(), &value, &length)) {
      std::printf("%s=%s\n", name, static_cast<const char*>(value));
    }
  }
  return true;
}

bool PrintIconAndManifest(const char* path) {
  HMODULE module =
      LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) {
    std::printf("cannot load %s as data (error %lu)\n", path, GetLastError());
    return false;
  }
  std::printf("icon=%d\n", FindResourceA(module, MAKEINTRESOURCEA(1), RT_GROUP_ICON) != nullptr);
  HRSRC manifest = FindResourceA(module, CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
  HGLOBAL loaded = manifest != nullptr ? LoadResource(module, manifest) : nullptr;
  const bool found = loaded != nullptr;
  if (found) {
    std::printf("manifest:\n%.*s\n", static_cast<int>(SizeofResource(module, manifest)),
                static_cast<const char*>(LockResource(loaded)));
  } else {
    std::printf("no manifest\n");
  }
  FreeLibrary(module);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::puts("usage: version_probe PROGRAM");
    return 2;
  }
  const bool version = PrintVersion(argv[1]);
  const bool manifest = PrintIconAndManifest(argv[1]);
  return version && manifest ? 0 : 1;
}
