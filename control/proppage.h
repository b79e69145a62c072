// `CVelmorPropPage`: the control's one property page, captioned "General", showing only the
// centred copyright line of dialog template 200. It edits no property.
#pragma once

#include "platform/com/com.h"

namespace velmor {

class CVelmorPropPage final : public IUnknown {
 public:
  CVelmorPropPage();
  CVelmorPropPage(const CVelmorPropPage&) = delete;
  CVelmorPropPage& operator=(const CVelmorPropPage&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

 private:
  ~CVelmorPropPage();
  ULONG m_refs = 0;
};

// CreateVelmorPropPage: a new page, its interface `riid` in *ppv with one reference the caller
// owns. E_POINTER, E_OUTOFMEMORY, E_NOINTERFACE (with *ppv null).
HRESULT CreateVelmorPropPage(REFIID riid, void** ppv);

}  // namespace velmor
