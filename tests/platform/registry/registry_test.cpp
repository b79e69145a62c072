// The registry's answers where Windows programs rely on them, and its all-or-nothing writes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>

#include "platform/registry/registry.h"
#include "platform/registry/selfreg.h"
#include "tests/support/pki.h"

namespace {

using velmor::registry::UniqueHkey;

UniqueHkey Create(HKEY parent, const char* path) {
  HKEY raw = nullptr;
  EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
            ERROR_SUCCESS);
  return UniqueHkey(raw);
}

LONG SetText(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

bool Exists(const char* path) {
  HKEY raw = nullptr;
  const LONG error = RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &raw);
  UniqueHkey key(raw);
  return error == ERROR_SUCCESS;
}

class Registry : public ::testing::Test {
 protected:
  ~Registry() override { velmor::registry::testing::FailWritesAfter(-1); }
  velmor::testing::TempDataHome home_;
};

// One call on a registry holding A\B (with a default value "text") and the text value A\B\v.
struct Answer {
  const char* name;
  std::function<LONG()> call;
  LONG expected;
};
void PrintTo(const Answer& a, std::ostream* os) { *os << a.name; }

class Answers : public Registry, public ::testing::WithParamInterface<Answer> {};

TEST_P(Answers, AreThoseOfWindows) {
  UniqueHkey b = Create(HKEY_CLASSES_ROOT, "A\\B");
  ASSERT_EQ(SetText(b.get(), nullptr, "text"), ERROR_SUCCESS);
  ASSERT_EQ(SetText(b.get(), "v", "value"), ERROR_SUCCESS);
  EXPECT_EQ(GetParam().call(), GetParam().expected);
}

LONG Query(const char* path, const char* name, DWORD room, DWORD* size = nullptr) {
  HKEY raw = nullptr;
  LONG error = RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &raw);
  UniqueHkey key(raw);
  if (error != ERROR_SUCCESS) return error;
  BYTE data[64];
  DWORD cb = room;
  error = RegQueryValueExA(key.get(), name, nullptr, nullptr, data, &cb);
  if (size != nullptr) *size = cb;
  return error;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, Answers,
    ::testing::Values(
        Answer{"OpenMissing", [] { return Exists("A\\C") ? 0 : Query("A\\C", nullptr, 64); },
               static_cast<LONG>(ERROR_FILE_NOT_FOUND)},
        Answer{"OpenIgnoresCase", [] { return Query("a\\b", "V", 64); }, ERROR_SUCCESS},
        Answer{"DefaultValue", [] { return Query("A\\B", "", 64); }, ERROR_SUCCESS},
        Answer{"MissingValue", [] { return Query("A\\B", "w", 64); },
               static_cast<LONG>(ERROR_FILE_NOT_FOUND)},
        Answer{"BufferTooSmall",
               [] {
                 DWORD size = 0;
                 const LONG e = Query("A\\B", "v", 3, &size);
                 return size == 6 ? e : -1;  // the size needed, terminator included
               },
               static_cast<LONG>(ERROR_MORE_DATA)},
        Answer{"DeleteKeyWithSubkeys", [] { return RegDeleteKeyA(HKEY_CLASSES_ROOT, "A"); },
               static_cast<LONG>(ERROR_ACCESS_DENIED)},
        Answer{"DeleteTreeThenOpen",
               [] {
                 const LONG e = RegDeleteTreeA(HKEY_CLASSES_ROOT, "A");
                 return e != ERROR_SUCCESS ? e : Query("A", nullptr, 64);
               },
               static_cast<LONG>(ERROR_FILE_NOT_FOUND)},
        Answer{"KeyDeletedUnderAnOpenHandle",
               [] {
                 UniqueHkey b = Create(HKEY_CLASSES_ROOT, "A\\B");
                 RegDeleteTreeA(HKEY_CLASSES_ROOT, "A");
                 return SetText(b.get(), "v", "again");
               },
               static_cast<LONG>(ERROR_KEY_DELETED)},
        Answer{"DwordOfThreeBytes",
               [] {
                 UniqueHkey b = Create(HKEY_CLASSES_ROOT, "A\\B");
                 const BYTE three[3] = {1, 2, 3};
                 return RegSetValueExA(b.get(), "d", 0, REG_DWORD, three, 3);
               },
               static_cast<LONG>(ERROR_INVALID_PARAMETER)},
        Answer{"EmptyNameInPath",
               [] {
                 HKEY raw = nullptr;
                 const LONG e = RegCreateKeyExA(HKEY_CLASSES_ROOT, "A\\\\B", 0, nullptr, 0,
                                                KEY_ALL_ACCESS, nullptr, &raw, nullptr);
                 UniqueHkey key(raw);
                 return e;
               },
               static_cast<LONG>(ERROR_INVALID_PARAMETER)},
        Answer{"EnumPastTheLast",
               [] {
                 UniqueHkey a = Create(HKEY_CLASSES_ROOT, "A");
                 char name[16];
                 DWORD length = sizeof name;
                 const LONG first =
                     RegEnumKeyExA(a.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr);
                 length = sizeof name;
                 return first == ERROR_SUCCESS && std::string(name) == "B"
                            ? RegEnumKeyExA(a.get(), 1, name, &length, nullptr, nullptr, nullptr,
                                            nullptr)
                            : -1;
               },
               static_cast<LONG>(ERROR_NO_MORE_ITEMS)},
        Answer{"CloseTwice",
               [] {
                 HKEY raw = nullptr;
                 RegOpenKeyExA(HKEY_CLASSES_ROOT, "A", 0, KEY_READ, &raw);
                 RegCloseKey(raw);
                 return RegCloseKey(raw);
               },
               static_cast<LONG>(ERROR_INVALID_HANDLE)}));

TEST_F(Registry, TheDatabaseIsTheOwnersOnly) {
  Create(HKEY_CLASSES_ROOT, "A");
  struct stat file {}, folder {};
  ASSERT_EQ(stat(velmor::registry::DatabasePath().c_str(), &file), 0);
  ASSERT_EQ(stat((home_.path() / "velmor").c_str(), &folder), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
}

// A write that fails at any statement leaves nothing of itself behind: a key made with its
// missing parents, a tree removed, and a registration helper's whole set of entries.
TEST_F(Registry, AWriteThatFailsHalfWayLeavesNothingHalfWritten) {
  static constexpr velmor::com::StringResource kStrings[] = {{1, "Test Control"}};
  static constexpr HINSTANCE__ kTestModule = {0, kStrings, {}, {}, nullptr, nullptr};
  constexpr CLSID kClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  const std::string classKey = "CLSID\\" + velmor::com::GuidToString(kClass);

  for (int writes = 0;; ++writes) {
    velmor::registry::testing::FailWritesAfter(writes);
    const BOOL ok = AfxOleRegisterControlClass(&kTestModule, kClass, "Test.Control.1", 1, 1,
                                               afxRegApartmentThreading, 0x20491, kClass, 1, 0);
    velmor::registry::testing::FailWritesAfter(-1);
    if (ok) {
      EXPECT_TRUE(Exists((classKey + "\\MiscStatus\\1").c_str()));
      break;
    }
    ASSERT_FALSE(Exists(classKey.c_str())) << "after " << writes << " writes";
    ASSERT_FALSE(Exists("Test.Control.1")) << "after " << writes << " writes";
    ASSERT_LT(writes, 200);
  }

  Create(HKEY_CLASSES_ROOT, "T\\1\\2\\3");
  velmor::registry::testing::FailWritesAfter(0);
  EXPECT_NE(RegDeleteTreeA(HKEY_CLASSES_ROOT, "T"), ERROR_SUCCESS);
  EXPECT_TRUE(Exists("T\\1\\2\\3"));
  velmor::registry::testing::FailWritesAfter(2);
  HKEY raw = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "N\\1\\2\\3\\4", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &raw, nullptr),
            static_cast<LONG>(ERROR_REGISTRY_IO_FAILED));
  EXPECT_EQ(raw, nullptr);
  EXPECT_FALSE(Exists("N"));
}

}  // namespace
