// velmor version / bitmap / draw / properties: the module's version resource and toolbox
// bitmap, read from the module file; the control's face, drawn by the control into an image;
// and the property sheet its Properties verb shows.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

#include "hosts/velmor/commands.h"
#include "platform/com/resource.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/ole.h"

namespace velmor::host {

namespace {

std::string Dotted(DWORD ms, DWORD ls) {
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

std::optional<com::FileResources> Read(const std::string& given) {
  const std::string path = given.empty() ? DefaultModulePath() : given;
  std::string why;
  auto resources = com::ReadModuleResources(path, why);
  if (!resources) std::cerr << "velmor: cannot read the resources of " << path << ": " << why << "\n";
  return resources;
}

int PrintVersion(const std::string& module) {
  const auto resources = Read(module);
  if (!resources || !resources->fixed) return 1;
  const VS_FIXEDFILEINFO& f = *resources->fixed;
  char line[512];
  std::snprintf(line, sizeof line,
                "FileVersion      %s\nProductVersion   %s\nFileFlags        0x%08X%s\n"
                "FileOS           0x%08X%s\nFileType         0x%08X%s\n"
                "StringFileInfo   %04X%04X\n",
                Dotted(f.dwFileVersionMS, f.dwFileVersionLS).c_str(),
                Dotted(f.dwProductVersionMS, f.dwProductVersionLS).c_str(),
                static_cast<unsigned>(f.dwFileFlags),
                f.dwFileFlags == VS_FF_SPECIALBUILD ? " (VS_FF_SPECIALBUILD)" : "",
                static_cast<unsigned>(f.dwFileOS), f.dwFileOS == VOS__WINDOWS32 ? " (VOS__WINDOWS32)" : "",
                static_cast<unsigned>(f.dwFileType), f.dwFileType == VFT_DLL ? " (VFT_DLL)" : "",
                resources->versionLanguage, resources->versionCodePage);
  std::cout << line;
  for (const auto& [key, value] : resources->versionStrings) {
    std::cout << "  " << key << std::string(key.size() < 18 ? 18 - key.size() : 1, ' ') << "\""
              << value << "\"\n";
  }
  return 0;
}

int SaveBitmap(const std::string& module, const std::string& out, int scale) {
  const auto resources = Read(module);
  if (!resources) return 1;
  for (const auto& [id, dib] : resources->bitmaps) {
    int width = 0, height = 0;
    if (id != 1 || !gdi::DibSize(dib, width, height)) continue;
    gdi::UniqueDc dc(gdi::CreateImageDC(width * scale, height * scale));
    std::string why;
    if (!dc || !gdi::DrawDib(dc.get(), 0, 0, scale, dib) || !gdi::SavePng(dc.get(), out, why)) {
      std::cerr << "velmor: cannot write " << out << ": " << why << "\n";
      return 1;
    }
    std::cout << "toolbox bitmap 1: " << width << " x " << height << " pixels -> " << out << "\n";
    return 0;
  }
  std::cerr << "velmor: the module has no toolbox bitmap 1\n";
  return 1;
}

int DrawFace(int width, int height, const std::string& out) {
  void* raw = nullptr;
  const HRESULT hr = CreateControl(IID_IViewObject, &raw);
  if (FAILED(hr)) return ReportCreateFailure(hr);
  com::ComPtr<IViewObject> view(static_cast<IViewObject*>(raw));
  gdi::UniqueDc dc(gdi::CreateImageDC(width, height));
  if (!dc) {
    std::cerr << "velmor: cannot make a " << width << " x " << height << " image\n";
    return 1;
  }
  const RECTL bounds{0, 0, width, height};
  if (FAILED(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc.get(), &bounds,
                        nullptr, nullptr, 0))) {
    std::cerr << "velmor: the control did not draw\n";
    return 1;
  }
  std::string why;
  if (!gdi::SavePng(dc.get(), out, why)) {
    std::cerr << "velmor: cannot write " << out << ": " << why << "\n";
    return 1;
  }
  std::cout << "the control's face, " << width << " x " << height << " -> " << out << "\n";
  return 0;
}

int DrawProperties(const std::string& out) {
  void* raw = nullptr;
  HRESULT hr = CreateControl(IID_IOleObject, &raw);
  if (FAILED(hr)) return ReportCreateFailure(hr);
  com::ComPtr<IOleObject> object(static_cast<IOleObject*>(raw));
  if (FAILED(hr = object->QueryInterface(IID_ISpecifyPropertyPages, &raw))) {
    std::cerr << "velmor: the control names no property pages\n";
    return 1;
  }
  com::ComPtr<ISpecifyPropertyPages> specify(static_cast<ISpecifyPropertyPages*>(raw));
  CAUUID pages{};
  hr = specify->GetPages(&pages);
  const com::UniqueCoTaskMem<GUID> list(pages.pElems);
  // The screen the sheet is shown on: exactly the sheet's size.
  SIZE size{};
  if (SUCCEEDED(hr)) hr = gdi::PropertyFrameSize(pages.cElems, list.get(), LOCALE_USER_DEFAULT, &size);
  gdi::UniqueDc dc(SUCCEEDED(hr) ? gdi::CreateImageDC(size.cx, size.cy) : nullptr);
  if (dc) {
    const RECT position{0, 0, size.cx, size.cy};
    hr = object->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, 0, dc.get(), &position);
  }
  if (FAILED(hr) || !dc) {
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
    std::cerr << "velmor: the Properties verb failed (" << code << ")\n";
    return 1;
  }
  std::string why;
  if (!gdi::SavePng(dc.get(), out, why)) {
    std::cerr << "velmor: cannot write " << out << ": " << why << "\n";
    return 1;
  }
  std::cout << "the property sheet, " << pages.cElems << (pages.cElems == 1 ? " page, " : " pages, ")
            << size.cx << " x " << size.cy << " -> " << out << "\n";
  return 0;
}

}  // namespace

void AddResourceCommands(CLI::App& app, int& exitCode) {
  static std::string versionModule;
  auto* version = app.add_subcommand("version", "Print the module's version resource");
  version->add_option("MODULE", versionModule, "the module (default: velmorQVA.so beside velmor)");
  version->callback([&exitCode] { exitCode = PrintVersion(versionModule); });

  static std::string bitmapModule, bitmapOut;
  static int scale = 1;
  auto* bitmap = app.add_subcommand("bitmap", "Write the module's toolbox bitmap as PNG");
  bitmap->add_option("--out", bitmapOut, "the PNG file")->required();
  bitmap->add_option("--scale", scale, "pixels per bitmap pixel (default 1)")
      ->check(CLI::Range(1, 64));
  bitmap->add_option("--module", bitmapModule, "the module (default: velmorQVA.so beside velmor)");
  bitmap->callback([&exitCode] { exitCode = SaveBitmap(bitmapModule, bitmapOut, scale); });

  static int width = 100, height = 50;
  static std::string drawOut;
  auto* draw = app.add_subcommand("draw", "Have the control draw its face into a PNG");
  draw->add_option("--width", width, "width in pixels")->check(CLI::Range(1, 8192));
  draw->add_option("--height", height, "height in pixels")->check(CLI::Range(1, 8192));
  draw->add_option("--out", drawOut, "the PNG file")->required();
  draw->callback([&exitCode] { exitCode = DrawFace(width, height, drawOut); });

  static std::string propertiesOut;
  auto* properties =
      app.add_subcommand("properties", "Write the property sheet the control's Properties verb shows");
  properties->add_option("--out", propertiesOut, "the PNG file")->required();
  properties->callback([&exitCode] { exitCode = DrawProperties(propertiesOut); });
}

}  // namespace velmor::host
