// A module's resources in its file: the serialized table and the ELF section that carries it.
//
// The table: "VRSC", a 32-bit count, then records of type (16 bits), id (32), size (32) and
// bytes, all little-endian. Strings (RT_STRING) are their text, bitmaps (RT_BITMAP) their DIB,
// the version (RT_VERSION) VS_FIXEDFILEINFO, the string table's language and code page and
// zero-terminated key and value texts, dialogs (RT_DIALOG) the DLGTEMPLATE that a Windows
// module's resource section holds (DialogTemplateBytes).
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/com/resource.h"

namespace velmor::com {
namespace {

constexpr WORD RT_BITMAP = 2;
constexpr WORD RT_DIALOG = 5;
constexpr WORD RT_STRING = 6;
constexpr WORD RT_VERSION = 16;
constexpr char kMagic[4] = {'V', 'R', 'S', 'C'};
// Module files are a few megabytes; the cap keeps a wrong path from being read without end.
constexpr std::size_t kMaxModuleBytes = std::size_t{256} << 20;

void Put(std::vector<BYTE>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

void Record(std::vector<BYTE>& out, WORD type, UINT id, std::span<const BYTE> bytes) {
  Put(out, type, 2);
  Put(out, id, 4);
  Put(out, bytes.size(), 4);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

std::span<const BYTE> Text(const char* text) {
  return {reinterpret_cast<const BYTE*>(text), std::strlen(text)};
}

// Reader: bytes taken from the front of a span; every take fails once the span is short.
struct Reader {
  std::span<const BYTE> rest;
  bool ok = true;
  std::uint64_t Take(int bytes) {
    if (!ok || rest.size() < static_cast<std::size_t>(bytes)) {
      ok = false;
      return 0;
    }
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint64_t{rest[static_cast<std::size_t>(i)]} << (8 * i);
    rest = rest.subspan(static_cast<std::size_t>(bytes));
    return v;
  }
  std::span<const BYTE> Bytes(std::size_t n) {
    if (!ok || rest.size() < n) {
      ok = false;
      return {};
    }
    auto out = rest.first(n);
    rest = rest.subspan(n);
    return out;
  }
  // Zero: a zero-terminated text.
  std::string Zero() {
    const BYTE* end = static_cast<const BYTE*>(std::memchr(rest.data(), 0, rest.size()));
    if (!ok || end == nullptr) {
      ok = false;
      return {};
    }
    std::string text(reinterpret_cast<const char*>(rest.data()),
                     static_cast<std::size_t>(end - rest.data()));
    rest = rest.subspan(text.size() + 1);
    return text;
  }
};

// Wide: an ASCII or ANSI table text as UTF-16LE with its terminator.
void Wide(std::vector<BYTE>& out, const char* text) {
  const std::string ansi = text != nullptr ? text : "";
  for (char c : ansi) Put(out, static_cast<unsigned char>(c), 2);  // the tables' texts are ASCII
  Put(out, 0, 2);
}

}  // namespace

std::vector<BYTE> DialogTemplateBytes(const DialogResource& dialog) {
  std::vector<BYTE> out;
  Put(out, dialog.style, 4);
  Put(out, 0, 4);  // no extended style
  Put(out, dialog.items.size(), 2);
  for (short v : {dialog.x, dialog.y, dialog.cx, dialog.cy}) Put(out, static_cast<WORD>(v), 2);
  Put(out, 0, 2);  // no menu
  Put(out, 0, 2);  // the predefined dialog class
  Put(out, 0, 2);  // no title
  if ((dialog.style & DS_SETFONT) != 0) {
    Put(out, dialog.pointSize, 2);
    Wide(out, dialog.faceName);
  }
  for (const DialogItem& item : dialog.items) {
    while (out.size() % 4 != 0) out.push_back(0);  // each item starts on a DWORD
    Put(out, item.style, 4);
    Put(out, 0, 4);
    for (short v : {item.x, item.y, item.cx, item.cy}) Put(out, static_cast<WORD>(v), 2);
    Put(out, static_cast<WORD>(item.id), 2);
    // The predefined classes go by their atoms; any other by name.
    if (item.windowClass != nullptr && std::strcmp(item.windowClass, "static") == 0) {
      Put(out, 0xFFFF, 2);
      Put(out, 0x0082, 2);
    } else {
      Wide(out, item.windowClass);
    }
    Wide(out, item.text);
    Put(out, 0, 2);  // no creation data
  }
  return out;
}

std::vector<BYTE> SerializeResources(const HINSTANCE__& resources) {
  std::vector<BYTE> out(std::begin(kMagic), std::end(kMagic));
  const std::size_t records =
      resources.strings.size() + resources.bitmaps.size() + resources.dialogs.size() +
      (resources.version != nullptr ? 1 : 0);
  Put(out, resources.language, 2);
  Put(out, records, 4);
  for (const StringResource& s : resources.strings) Record(out, RT_STRING, s.id, Text(s.text));
  for (const BitmapResource& b : resources.bitmaps) Record(out, RT_BITMAP, b.id, b.dib);
  for (const DialogResource& d : resources.dialogs) Record(out, RT_DIALOG, d.id, DialogTemplateBytes(d));
  if (resources.version != nullptr) {
    const VersionResource& v = *resources.version;
    std::vector<BYTE> body(sizeof v.fixed);
    std::memcpy(body.data(), &v.fixed, sizeof v.fixed);
    Put(body, v.language, 2);
    Put(body, v.codePage, 2);
    for (const VersionString& s : v.strings) {
      for (const char* text : {s.key, s.value}) {
        const auto bytes = Text(text);
        body.insert(body.end(), bytes.begin(), bytes.end());
        body.push_back(0);
      }
    }
    Record(out, RT_VERSION, 1, body);
  }
  return out;
}

std::optional<FileResources> ParseResources(std::span<const BYTE> bytes) {
  Reader r{bytes};
  const auto magic = r.Bytes(4);
  if (!r.ok || std::memcmp(magic.data(), kMagic, 4) != 0) return std::nullopt;
  FileResources out;
  out.language = static_cast<WORD>(r.Take(2));
  const std::uint64_t count = r.Take(4);
  for (std::uint64_t i = 0; r.ok && i < count; ++i) {
    const auto type = static_cast<WORD>(r.Take(2));
    const auto id = static_cast<UINT>(r.Take(4));
    const auto body = r.Bytes(static_cast<std::size_t>(r.Take(4)));
    if (!r.ok) break;
    if (type == RT_STRING) {
      out.strings.emplace_back(id, std::string(body.begin(), body.end()));
    } else if (type == RT_BITMAP) {
      out.bitmaps.emplace_back(id, std::vector<BYTE>(body.begin(), body.end()));
    } else if (type == RT_DIALOG) {
      out.dialogs.emplace_back(id, std::vector<BYTE>(body.begin(), body.end()));
    } else if (type == RT_VERSION) {
      Reader v{body};
      const auto fixed = v.Bytes(sizeof(VS_FIXEDFILEINFO));
      out.versionLanguage = static_cast<WORD>(v.Take(2));
      out.versionCodePage = static_cast<WORD>(v.Take(2));
      if (!v.ok) return std::nullopt;
      VS_FIXEDFILEINFO info{};
      std::memcpy(&info, fixed.data(), sizeof info);
      out.fixed = info;
      while (v.ok && !v.rest.empty()) {
        std::string key = v.Zero();
        std::string value = v.Zero();
        if (v.ok) out.versionStrings.emplace_back(std::move(key), std::move(value));
      }
      if (!v.ok) return std::nullopt;
    }
  }
  if (!r.ok || !r.rest.empty()) return std::nullopt;
  return out;
}

std::optional<FileResources> ReadModuleResources(const std::string& path, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  struct stat st {};
  std::vector<BYTE> file;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
                       static_cast<std::uint64_t>(st.st_size) <= kMaxModuleBytes;
  if (regular) {
    file.resize(static_cast<std::size_t>(st.st_size));
    std::size_t used = 0;
    while (used < file.size()) {
      const ssize_t n = ::read(fd, file.data() + used, file.size() - used);
      if (n <= 0) break;
      used += static_cast<std::size_t>(n);
    }
    file.resize(used);
  }
  ::close(fd);
  if (!regular) {
    why = "it is not a regular file of at most 256 MiB";
    return std::nullopt;
  }
  Elf64_Ehdr header{};
  if (file.size() < sizeof header || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 ||
      file[EI_CLASS] != ELFCLASS64 || file[EI_DATA] != ELFDATA2LSB) {
    why = "it is not a 64-bit little-endian ELF file";
    return std::nullopt;
  }
  std::memcpy(&header, file.data(), sizeof header);
  auto section = [&](std::size_t index, Elf64_Shdr& out) {
    const std::uint64_t at = header.e_shoff + index * std::uint64_t{header.e_shentsize};
    if (header.e_shentsize < sizeof out || at > file.size() || file.size() - at < sizeof out) {
      return false;
    }
    std::memcpy(&out, file.data() + at, sizeof out);
    return out.sh_offset <= file.size() && out.sh_size <= file.size() - out.sh_offset;
  };
  Elf64_Shdr names{};
  if (header.e_shstrndx >= header.e_shnum || !section(header.e_shstrndx, names)) {
    why = "its section table is damaged";
    return std::nullopt;
  }
  const std::string_view table(reinterpret_cast<const char*>(file.data() + names.sh_offset),
                               names.sh_size);
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr s{};
    if (!section(i, s) || s.sh_name >= table.size()) continue;
    const std::string_view name = table.substr(s.sh_name, table.find('\0', s.sh_name) - s.sh_name);
    if (name != kResourceSection || s.sh_type == SHT_NOBITS) continue;
    auto parsed = ParseResources(std::span<const BYTE>(file.data() + s.sh_offset, s.sh_size));
    if (!parsed) why = "its resource section is damaged";
    return parsed;
  }
  why = "it carries no resources";
  return std::nullopt;
}

}  // namespace velmor::com
