// A dialog template in the module file: the DLGTEMPLATE bytes, decoded by hand from the
// layout Windows modules use, and their way through the serialized resource table.
#include <gtest/gtest.h>

#include "platform/com/resource.h"

namespace {

TEST(DialogTemplate, BytesAreTheWindowsLayoutWithItemsOnFourByteBoundaries) {
  const velmor::com::DialogItem items[] = {{"static", -1, 0x50020001, 7, 25, 229, 16, "Hi"}};
  const velmor::com::DialogResource dialog{200, WS_CHILD | DS_SETFONT, 0, 0, 250, 62, "M", 8, items};
  const std::vector<BYTE> expected = {
      0x40, 0x00, 0x00, 0x40,  0x00, 0x00, 0x00, 0x00,  // style, extended style
      0x01, 0x00,                                       // one item
      0x00, 0x00, 0x00, 0x00, 0xFA, 0x00, 0x3E, 0x00,   // 0, 0, 250, 62
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00,               // no menu, the dialog class, no title
      0x08, 0x00, 'M', 0x00, 0x00, 0x00,                // 8 points, "M"
      0x00, 0x00,                                       // to the 4-byte boundary
      0x01, 0x00, 0x02, 0x50,  0x00, 0x00, 0x00, 0x00,  // the item's style, extended style
      0x07, 0x00, 0x19, 0x00, 0xE5, 0x00, 0x10, 0x00,   // 7, 25, 229, 16
      0xFF, 0xFF,                                       // id -1
      0xFF, 0xFF, 0x82, 0x00,                           // the static class by its atom
      'H', 0x00, 'i', 0x00, 0x00, 0x00,                 // "Hi"
      0x00, 0x00,                                       // no creation data
  };
  EXPECT_EQ(velmor::com::DialogTemplateBytes(dialog), expected);

  const velmor::com::DialogResource dialogs[] = {dialog};
  HINSTANCE__ module{0x0804, {}, {}, dialogs, nullptr, nullptr};
  const auto parsed = velmor::com::ParseResources(velmor::com::SerializeResources(module));
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(parsed->dialogs.size(), 1u);
  EXPECT_EQ(parsed->dialogs[0].first, 200u);
  EXPECT_EQ(parsed->dialogs[0].second, expected);
}

}  // namespace
