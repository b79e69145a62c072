// The module as an in-process server: what it exports, what it registers, and activation by
// ProgID through the registry and dlopen, with the counts that decide when it may be unloaded.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "platform/activation/activation.h"
#include "platform/base/owner.h"
#include "platform/registry/registry.h"
#include "tests/support/pki.h"

namespace {

using velmor::com::ComPtr;
using velmor::platform::UniqueLibrary;
using velmor::registry::UniqueHkey;

constexpr char kControl[] = "{FBE8F5E5-B72B-4B9F-9988-5CEA97456447}";
constexpr char kPage[] = "{163A7297-6E38-4BC4-94E5-D3F6A64B2514}";
constexpr char kLibrary[] = "{7BF0FA30-4DF6-4BEF-880E-FAEEA40AEC80}";
constexpr char kDispatch[] = "{C57D4E40-FCC9-4332-AB0B-E18BD4698DAE}";
constexpr char kEvents[] = "{D309CC07-F478-4D73-ADC7-8905AC668C79}";

std::string Module() { return std::filesystem::canonical(VELMOR_MODULE).string(); }

// Text: the value `name` (null: default) of HKEY_CLASSES_ROOT\<path>; "<none>" when absent.
std::string Text(const std::string& path, const char* name = nullptr) {
  HKEY raw = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) {
    return "<no key>";
  }
  UniqueHkey key(raw);
  char data[512];
  DWORD size = sizeof data;
  DWORD type = REG_NONE;
  if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
      ERROR_SUCCESS) {
    return "<none>";
  }
  return type == REG_SZ ? std::string(data) : "<not a text>";
}

HRESULT Export(const std::string& path, const char* name) {
  std::string why;
  return velmor::com::CallServerExport(path, name, why);
}

class Server : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Export(Module(), "DllRegisterServer"), S_OK); }
  void TearDown() override { CoFreeUnusedLibraries(); }
  velmor::testing::TempDataHome home_;
};

TEST(Module, ExportsOnlyItsFourEntryPoints) {
  const auto run = velmor::testing::Run("nm -D --defined-only '" + Module() + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  std::set<std::string> names;
  std::istringstream lines(run.output);
  std::string address, kind, name;
  while (lines >> address >> kind >> name) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject",
                                          "DllRegisterServer", "DllUnregisterServer"}));
}

struct Entry {
  std::string path;
  const char* name;  // null: the default value
  std::string expected;
};
void PrintTo(const Entry& e, std::ostream* os) {
  *os << e.path << (e.name != nullptr ? std::string(" @") + e.name : "");
}

class Registered : public Server, public ::testing::WithParamInterface<Entry> {};

TEST_P(Registered, Entry) {
  std::string expected = GetParam().expected;
  const auto at = expected.find("<module>");
  if (at != std::string::npos) expected.replace(at, 8, Module());
  EXPECT_EQ(Text(GetParam().path, GetParam().name), expected);
}

const std::string kC = std::string("CLSID\\") + kControl;
const std::string kP = std::string("CLSID\\") + kPage;
const std::string kT = std::string("TypeLib\\") + kLibrary + "\\1.0";

INSTANTIATE_TEST_SUITE_P(
    AfterDllRegisterServer, Registered,
    ::testing::Values(
        Entry{"VELMOR.VelmorCtrl.QVA\\CLSID", nullptr, kControl},
        Entry{"VELMOR.VelmorCtrl.QVA", nullptr, "velmorQVA Control"},
        Entry{kC, nullptr, "velmorQVA Control"},
        Entry{kC + "\\InprocServer32", nullptr, "<module>"},
        Entry{kC + "\\InprocServer32", "ThreadingModel", "Apartment"},
        Entry{kC + "\\ProgID", nullptr, "VELMOR.VelmorCtrl.QVA"},
        Entry{kC + "\\Control", nullptr, "<none>"},
        Entry{kC + "\\Insertable", nullptr, "<no key>"},
        Entry{"VELMOR.VelmorCtrl.QVA\\Insertable", nullptr, "<no key>"},
        Entry{kC + "\\MiscStatus", nullptr, "0"},
        Entry{kC + "\\MiscStatus\\1", nullptr, "132241"},
        Entry{kC + "\\ToolboxBitmap32", nullptr, "<module>, 1"},
        Entry{kC + "\\TypeLib", nullptr, kLibrary},
        Entry{kC + "\\Version", nullptr, "1.0"},
        Entry{kP, nullptr, "velmorQVA Property Page"},
        Entry{kP + "\\InprocServer32", nullptr, "<module>"},
        Entry{kP + "\\InprocServer32", "ThreadingModel", "<none>"},
        Entry{kP + "\\ProgID", nullptr, "<no key>"},
        Entry{"VELMOR.VelmorPropPage.1", nullptr, "<no key>"},
        Entry{kT, nullptr, "velmor ActiveX Control module"},
        Entry{kT + "\\0\\win32", nullptr, "<module>"},
        Entry{kT + "\\FLAGS", nullptr, "0"},
        Entry{std::string("Interface\\") + kDispatch, nullptr, "_DVelmor"},
        Entry{std::string("Interface\\") + kDispatch + "\\TypeLib", nullptr, kLibrary},
        Entry{std::string("Interface\\") + kEvents + "\\TypeLib", "Version", "1.0"}));

TEST_F(Server, UnregisterRemovesBothClassesTheProgIDAndTheTypeLibrary) {
  ASSERT_EQ(Export(Module(), "DllUnregisterServer"), S_OK);
  for (const std::string& path :
       {kC, kP, std::string("VELMOR.VelmorCtrl.QVA"), std::string("TypeLib\\") + kLibrary,
        std::string("Interface\\") + kDispatch, std::string("Interface\\") + kEvents}) {
    EXPECT_EQ(Text(path), "<no key>") << path;
  }
  // Unregistering what is not registered is no failure.
  EXPECT_EQ(Export(Module(), "DllUnregisterServer"), S_OK);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"VELMOR.VelmorCtrl.QVA", &clsid), CO_E_CLASSSTRING);
}

// Invokes a property get and returns the text.
std::string GetText(IDispatch* control, const char16_t* member) {
  LPOLESTR names[1] = {const_cast<LPOLESTR>(member)};
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(control->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
            S_OK);
  std::string text = velmor::com::WideToMultiByte(CP_UTF8, result.bstrVal, -1).value_or("");
  VariantClear(&result);
  return text;
}

TEST_F(Server, ActivationByProgIDLoadsTheModuleAndCreatesTheControl) {
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"VELMOR.VelmorCtrl.QVA", &clsid), S_OK);
  EXPECT_EQ(velmor::com::GuidToString(clsid), kControl);
  void* raw = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &raw), S_OK);
  ComPtr<IDispatch> control(static_cast<IDispatch*>(raw));
  EXPECT_EQ(GetText(control.get(), u"Copyright"), "Tarnvik Inc.");
  EXPECT_EQ(velmor::com::LoadedLibraryCount(), 1u);
  CoFreeUnusedLibraries();  // the control still lives: the module stays
  EXPECT_EQ(velmor::com::LoadedLibraryCount(), 1u);
  control.reset();
  CoFreeUnusedLibraries();
  EXPECT_EQ(velmor::com::LoadedLibraryCount(), 0u);
}

// The module's exports, from a handle of our own on the file (the loader counts references:
// on a module CoGetClassObject loaded it is the same module).
struct Exports {
  explicit Exports(const std::string& path) : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
    EXPECT_NE(handle, nullptr) << dlerror();
    if (!handle) return;
    getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(handle.get(), "DllGetClassObject"));
    canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(handle.get(), "DllCanUnloadNow"));
  }
  ComPtr<IClassFactory> Factory() const {
    void* raw = nullptr;
    CLSID clsid = *velmor::com::GuidFromString(kControl);
    EXPECT_EQ(getClassObject(clsid, IID_IClassFactory, &raw), S_OK);
    return ComPtr<IClassFactory>(static_cast<IClassFactory*>(raw));
  }
  UniqueLibrary handle;
  LPFNGETCLASSOBJECT getClassObject = nullptr;
  LPFNCANUNLOADNOW canUnloadNow = nullptr;
};

TEST_F(Server, DllCanUnloadNowWaitsForEveryObjectAndLock) {
  const Exports module(Module());
  ASSERT_NE(module.canUnloadNow, nullptr);
  EXPECT_EQ(module.canUnloadNow(), S_OK);
  ComPtr<IClassFactory> factory = module.Factory();
  EXPECT_EQ(module.canUnloadNow(), S_FALSE) << "a factory held";
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  void* raw = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &raw), S_OK);
  ComPtr<IDispatch> control(static_cast<IDispatch*>(raw));
  factory.reset();
  EXPECT_EQ(module.canUnloadNow(), S_FALSE) << "a lock and an object";
  control.reset();
  EXPECT_EQ(module.canUnloadNow(), S_FALSE) << "a lock";
  ComPtr<IClassFactory> again = module.Factory();
  ASSERT_EQ(again->LockServer(FALSE), S_OK);
  EXPECT_EQ(again->LockServer(FALSE), E_UNEXPECTED) << "more unlocks than locks";
  again.reset();
  EXPECT_EQ(module.canUnloadNow(), S_OK);
  IUnknown* outer = reinterpret_cast<IUnknown*>(&raw);
  EXPECT_EQ(module.Factory()->CreateInstance(outer, IID_IUnknown, &raw), CLASS_E_NOAGGREGATION);
}

TEST_F(Server, TwoModulesKeepTheirFactoriesAndCountsApart) {
  const auto dir = home_.path();
  std::filesystem::copy_file(Module(), dir / "a.so");
  std::filesystem::copy_file(Module(), dir / "b.so");
  const Exports a((dir / "a.so").string());
  const Exports b((dir / "b.so").string());
  ComPtr<IClassFactory> fa = a.Factory();
  ComPtr<IClassFactory> fb = b.Factory();
  EXPECT_NE(fa.get(), fb.get());
  fb.reset();
  void* raw = nullptr;
  ASSERT_EQ(fa->CreateInstance(nullptr, IID_IDispatch, &raw), S_OK);
  ComPtr<IDispatch> control(static_cast<IDispatch*>(raw));
  fa.reset();
  EXPECT_EQ(a.canUnloadNow(), S_FALSE);
  EXPECT_EQ(b.canUnloadNow(), S_OK);
  control.reset();
  EXPECT_EQ(a.canUnloadNow(), S_OK);
}

}  // namespace
