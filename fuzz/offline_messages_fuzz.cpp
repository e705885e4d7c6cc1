// messages.txt as anyone may have edited it: parsing never fails, and what the dialog writes
// back parses to the same messages.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/offline_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto messages = talmeris::ParseOfflineMessages(bytes);
  std::string written;
  for (const auto& m : messages) written += m + "\r\n";
  if (talmeris::ParseOfflineMessages(written) != messages) std::abort();
  return 0;
}
