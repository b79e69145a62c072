// velmor typelib: the control's type library, read through ITypeInfo and ITypeLib from a control
// created by its ProgID, printed as IDL; with --json, the dispatch interface's members with what
// each needs the user's consent for; with --web DIR, the member tables of web/ written from the
// control's member table (web_tables.h).
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "control/interface/consent.h"
#include "hosts/velmor/commands.h"
#include "hosts/velmor/web_tables.h"
#include "platform/activation/activation.h"
#include "platform/com/typelib.h"

namespace velmor::host {

namespace {

using com::ComPtr;
using com::UniqueBstr;

std::string Narrow(BSTR text) {
  return com::WideToMultiByte(CP_UTF8, text, static_cast<int>(SysStringLen(text))).value_or("");
}

std::string Uuid(const GUID& guid) {
  const std::string text = com::GuidToString(guid);
  return text.substr(1, text.size() - 2);
}

const char* TypeName(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return "BSTR";
    case VT_I4:
      return "long";
    default:
      return "VARIANT";
  }
}

struct Documentation {
  std::string name, help, helpFile;
  bool hasHelp = false;
};

template <typename Source, typename Key>
Documentation Document(Source* source, Key key) {
  BSTR name = nullptr, help = nullptr, file = nullptr;
  Documentation d;
  if (SUCCEEDED(source->GetDocumentation(key, &name, &help, nullptr, &file))) {
    UniqueBstr n(name), h(help), f(file);
    d.name = Narrow(n.get());
    d.hasHelp = h != nullptr;
    d.help = Narrow(h.get());
    d.helpFile = Narrow(f.get());
  }
  return d;
}

// Attributes: the bracketed attribute list of a library, an interface or a coclass.
std::string Attributes(const std::vector<std::string>& items, const char* indent) {
  std::string out = std::string(indent) + "[\n";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += std::string(indent) + "  " + items[i] + (i + 1 < items.size() ? ",\n" : "\n");
  }
  return out + indent + "]\n";
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

void PrintDispinterface(ITypeInfo* info, const TYPEATTR& attr, std::ostream& out) {
  const Documentation doc = Document(info, MEMBERID_NIL);
  std::vector<std::string> items{"uuid(" + Uuid(attr.guid) + ")"};
  if (doc.hasHelp) items.push_back("helpstring(" + Quoted(doc.help) + ")");
  if ((attr.wTypeFlags & TYPEFLAG_FHIDDEN) != 0) items.push_back("hidden");
  out << Attributes(items, "  ") << "  dispinterface " << doc.name << " {\n    properties:\n";
  for (UINT i = 0; i < attr.cVars; ++i) {
    VARDESC* var = nullptr;
    if (FAILED(info->GetVarDesc(i, &var))) continue;
    out << "      [id(" << var->memid << ")] " << TypeName(var->elemdescVar.tdesc.vt) << " "
        << Document(info, var->memid).name << ";\n";
    info->ReleaseVarDesc(var);
  }
  out << "    methods:\n";
  for (UINT i = 0; i < attr.cFuncs; ++i) {
    FUNCDESC* func = nullptr;
    if (FAILED(info->GetFuncDesc(i, &func))) continue;
    BSTR names[8] = {};
    UINT count = 0;
    info->GetNames(func->memid, names, 8, &count);
    out << "      [id(" << func->memid << ")] " << TypeName(func->elemdescFunc.tdesc.vt) << " "
        << Narrow(names[0]) << "(";
    for (UINT p = 0; p < static_cast<UINT>(func->cParams); ++p) {
      out << (p != 0 ? ", " : "") << TypeName(func->lprgelemdescParam[p].tdesc.vt) << " "
          << (p + 1 < count ? Narrow(names[p + 1]) : "arg" + std::to_string(p));
    }
    out << ");\n";
    for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
    info->ReleaseFuncDesc(func);
  }
  out << "  };\n\n";
}

void PrintCoclass(ITypeInfo* info, const TYPEATTR& attr, std::ostream& out) {
  const Documentation doc = Document(info, MEMBERID_NIL);
  std::vector<std::string> items{"uuid(" + Uuid(attr.guid) + ")"};
  if (doc.hasHelp) items.push_back("helpstring(" + Quoted(doc.help) + ")");
  if ((attr.wTypeFlags & TYPEFLAG_FCONTROL) != 0) items.push_back("control");
  if ((attr.wTypeFlags & TYPEFLAG_FCANCREATE) == 0) items.push_back("noncreatable");
  out << Attributes(items, "  ") << "  coclass " << doc.name << " {\n";
  for (UINT i = 0; i < attr.cImplTypes; ++i) {
    HREFTYPE href = 0;
    INT flags = 0;
    ITypeInfo* raw = nullptr;
    if (FAILED(info->GetRefTypeOfImplType(i, &href)) || FAILED(info->GetImplTypeFlags(i, &flags)) ||
        FAILED(info->GetRefTypeInfo(href, &raw))) {
      continue;
    }
    ComPtr<ITypeInfo> implemented(raw);
    std::string which;
    if ((flags & IMPLTYPEFLAG_FDEFAULT) != 0) which = "default";
    if ((flags & IMPLTYPEFLAG_FSOURCE) != 0) which += which.empty() ? "source" : ", source";
    out << "    " << (which.empty() ? "" : "[" + which + "] ") << "dispinterface "
        << Document(implemented.get(), MEMBERID_NIL).name << ";\n";
  }
  out << "  };\n";
}

// MemberRow: one member of the dispatch interface as --json prints it. A member without a row
// in the consent column gets "consent": null, and the command fails: whatever reads the list
// must not guess what such a member does.
nlohmann::ordered_json MemberRow(const std::string& name, MEMBERID id, bool property,
                                 unsigned params, bool& complete) {
  nlohmann::ordered_json row = {{"name", name}, {"dispid", id},
                                {"kind", property ? "property" : "method"}, {"arity", params}};
  const control::MemberConsent* known = control::FindMemberConsent(name);
  if (known == nullptr || known->id != id || known->property != property ||
      known->params != params) {
    row["consent"] = nullptr;
    complete = false;
    return row;
  }
  nlohmann::ordered_json needs = nlohmann::ordered_json::array();
  for (std::size_t bit = 0; bit < std::size(control::kConsentNames); ++bit) {
    if ((known->consent & (1u << bit)) != 0) needs.push_back(control::kConsentNames[bit]);
  }
  row["consent"] = needs;
  return row;
}

int PrintMembersJson(ITypeInfo* info) {
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return 1;
  bool complete = true;
  std::vector<nlohmann::ordered_json> rows;
  for (UINT i = 0; i < attr->cVars; ++i) {
    VARDESC* var = nullptr;
    if (FAILED(info->GetVarDesc(i, &var))) continue;
    rows.push_back(MemberRow(Document(info, var->memid).name, var->memid, true, 0, complete));
    info->ReleaseVarDesc(var);
  }
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* func = nullptr;
    if (FAILED(info->GetFuncDesc(i, &func))) continue;
    rows.push_back(MemberRow(Document(info, func->memid).name, func->memid, false,
                             static_cast<unsigned>(func->cParams), complete));
    info->ReleaseFuncDesc(func);
  }
  info->ReleaseTypeAttr(attr);
  std::sort(rows.begin(), rows.end(),
            [](const auto& a, const auto& b) { return a["dispid"] < b["dispid"]; });
  // One member a line, for a reader and for a diff.
  std::cout << "[\n";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::cout << "  " << rows[i].dump() << (i + 1 < rows.size() ? ",\n" : "\n");
  }
  std::cout << "]\n";
  if (!complete) {
    std::cerr << "velmor: a member of the type library has no consent row (\"consent\": null)\n";
    return 1;
  }
  return 0;
}

int PrintTypeLib(bool json) {
  void* raw = nullptr;
  const HRESULT hr = CreateControl(IID_IDispatch, &raw);
  if (FAILED(hr)) return ReportCreateFailure(hr);
  ComPtr<IDispatch> control(static_cast<IDispatch*>(raw));
  ITypeInfo* rawInfo = nullptr;
  if (FAILED(control->GetTypeInfo(0, 0, &rawInfo))) {
    std::cerr << "velmor: the control hands out no type information\n";
    return 1;
  }
  ComPtr<ITypeInfo> dispatch(rawInfo);
  if (json) return PrintMembersJson(dispatch.get());
  ITypeLib* rawLib = nullptr;
  if (FAILED(dispatch->GetContainingTypeLib(&rawLib, nullptr))) {
    std::cerr << "velmor: the control's type information names no type library\n";
    return 1;
  }
  ComPtr<ITypeLib> lib(rawLib);
  TLIBATTR* libAttr = nullptr;
  if (FAILED(lib->GetLibAttr(&libAttr))) return 1;
  const Documentation doc = Document(lib.get(), -1);
  std::ostringstream out;
  char lcid[16];
  std::snprintf(lcid, sizeof lcid, "0x%04x", static_cast<unsigned>(libAttr->lcid));
  out << Attributes({"uuid(" + Uuid(libAttr->guid) + ")",
                     "version(" + std::to_string(libAttr->wMajorVerNum) + "." +
                         std::to_string(libAttr->wMinorVerNum) + ")",
                     std::string("lcid(") + lcid + ")", "helpstring(" + Quoted(doc.help) + ")",
                     "helpfile(" + Quoted(doc.helpFile) + ")"},
                    "")
      << "library " << doc.name << " {\n  importlib(\"stdole32.tlb\");\n\n";
  lib->ReleaseTLibAttr(libAttr);
  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    ITypeInfo* rawType = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &rawType))) continue;
    ComPtr<ITypeInfo> type(rawType);
    TYPEATTR* attr = nullptr;
    if (FAILED(type->GetTypeAttr(&attr))) continue;
    if (attr->typekind == TKIND_DISPATCH) PrintDispinterface(type.get(), *attr, out);
    if (attr->typekind == TKIND_COCLASS) PrintCoclass(type.get(), *attr, out);
    type->ReleaseTypeAttr(attr);
  }
  out << "};\n";
  std::cout << out.str();
  return 0;
}

}  // namespace

void AddTypeLibCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("typelib", "Print the control's type library as IDL");
  static bool json = false;
  cmd->add_flag("--json", json,
                "Print the dispatch interface's members as JSON: name, DISPID, kind, arity and "
                "what each needs the user's consent for");
  static std::string web;
  static bool check = false;
  cmd->add_option("--web", web,
                  "Write the member tables of the web folder DIR (the extension's consent table, "
                  "velmor.js's result forms, velmor.d.ts's members) from the control's member table")
      ->type_name("DIR");
  cmd->add_flag("--check", check,
                "With --web: write nothing; fail naming each file that differs from the table");
  cmd->callback([&exitCode] {
    if (check && web.empty()) {
      std::cerr << "velmor: --check goes with --web DIR\n";
      exitCode = 2;
      return;
    }
    exitCode = web.empty() ? PrintTypeLib(json) : WriteWebTables(web, check);
  });
}

}  // namespace velmor::host
