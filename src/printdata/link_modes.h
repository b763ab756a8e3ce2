// link_modes.h: the link modes of Norvex_SetPrintDataSaveIdle as one table:
// for each mode number of norvex.h (NORVEX_LINK_*) where the request frames
// of commands go and which print-data sink takes the bulk data. Setting a
// mode looks its row up once (PrintDataPath::SetLinkMode); nothing else
// knows the numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>

#include "link/usb_link.h"
#include "norvex.h"
#include "printdata/print_data_sinks.h"

namespace norvex {

struct LinkMode {
  int32_t number;         // NORVEX_LINK_*
  CommandRoute commands;  // where request frames go, and what an open opens
  PrintDataSink& (*sink)(PrintDataSinks& sinks);
};

// The sink that is the member `kMember` of PrintDataSinks.
template <auto kMember>
PrintDataSink& SinkOf(PrintDataSinks& sinks) {
  return sinks.*kMember;
}

// clang-format off
inline constexpr LinkMode kLinkModes[] = {
    // number                          commands                    print data
    {NORVEX_LINK_USB,                  CommandRoute::kDevice,      SinkOf<&PrintDataSinks::device>},
    {NORVEX_LINK_TIFF_CAPTURE,         CommandRoute::kNowhere,     SinkOf<&PrintDataSinks::capture>},
    {NORVEX_LINK_USB_AND_TIFF_CAPTURE, CommandRoute::kDevice,      SinkOf<&PrintDataSinks::deviceAndCapture>},
    {NORVEX_LINK_COMMAND_FILE,         CommandRoute::kCommandFile, SinkOf<&PrintDataSinks::dataFile>},
    {NORVEX_LINK_COMPRESSED_FILE,      CommandRoute::kNowhere,     SinkOf<&PrintDataSinks::compressedFile>},
};
// clang-format on

// Any other number: no device, and the data is dropped.
inline constexpr LinkMode kOtherLinkMode = {0, CommandRoute::kNowhere, SinkOf<&PrintDataSinks::none>};

// The mode the library starts in.
inline constexpr int32_t kInitialLinkMode = NORVEX_LINK_USB;

// The row of `number`, or kOtherLinkMode.
constexpr const LinkMode& LinkModeOf(int32_t number) {
  for (const LinkMode& mode : kLinkModes) {
    if (mode.number == number) return mode;
  }
  return kOtherLinkMode;
}

// Whether the table has exactly one row for each of `numbers` and no other.
constexpr bool OneRowEach(std::initializer_list<int32_t> numbers) {
  if (numbers.size() != std::size(kLinkModes)) return false;
  for (int32_t number : numbers) {
    size_t rows = 0;
    for (const LinkMode& mode : kLinkModes) rows += mode.number == number ? 1 : 0;
    if (rows != 1) return false;
  }
  return true;
}
static_assert(OneRowEach({NORVEX_LINK_USB, NORVEX_LINK_TIFF_CAPTURE, NORVEX_LINK_USB_AND_TIFF_CAPTURE,
                          NORVEX_LINK_COMMAND_FILE, NORVEX_LINK_COMPRESSED_FILE}),
              "one row for each NORVEX_LINK_ mode of norvex.h, and none for another number");

}  // namespace norvex
