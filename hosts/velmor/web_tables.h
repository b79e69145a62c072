// The member tables of web/ (the extension's consent table, the page library's result forms and
// the typings), written from the control's member table.
#pragma once

#include <string>

namespace velmor::host {

// WriteWebTables: rewrites the generated lines of the member tables under `webDir` (the source
// tree's web/ folder); with `check`, writes nothing and names each file that differs. Returns 0,
// or 1 when a file cannot be read or written, lacks its markers, or (with `check`) differs.
int WriteWebTables(const std::string& webDir, bool check);

}  // namespace velmor::host
