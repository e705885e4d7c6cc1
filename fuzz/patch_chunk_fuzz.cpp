// Patch chunks from the server: any name, offset, length and operation. Whatever the chunk, the
// handler writes only inside the installation folder and never reads past the message.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "null_ports.h"
#include "server/patching.h"
#include "server/server_link.h"

namespace {

struct Harness {
  talmeris::fuzz::NullWindows windows;
  talmeris::voice::NullVoiceSystem voice;
  // One folder per process, so parallel fuzzing workers never see each other's files.
  std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("talmeris-patch-fuzz-" + std::to_string(getpid()));
  talmeris::ClientContext ctx{talmeris::Ports{&windows, nullptr, &voice, nullptr, nullptr},
                              root / "install"};
  int runs = 0;
  Harness() {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(ctx.install_dir);
    ctx.patch.total = 1u << 30;
  }
  // Everything a chunk made is inside the installation folder: nothing else appears in root.
  void Check() {
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
      if (entry.path().filename() != "install") std::abort();
    }
    std::filesystem::remove_all(ctx.install_dir);
    std::filesystem::create_directories(ctx.install_dir);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness harness;
  // The input's head fills the chunk's header (name, offset, length); its last byte is the
  // operation; the data area holds what follows the header.
  std::vector<std::uint8_t> chunk(talmeris::kPatchChunkSize, 0);
  const std::size_t head = std::min<std::size_t>(size, talmeris::kPatchDataField + 64);
  std::copy(data, data + head, chunk.begin());
  if (size > 0) chunk[talmeris::kPatchOperationField] = data[size - 1] % 8;
  // Keep offsets small so a run writes kilobytes, not gigabytes.
  chunk[talmeris::kPatchOffsetField + 2] = 0;
  chunk[talmeris::kPatchOffsetField + 3] = 0;
  talmeris::net::Message m{talmeris::net::MessageId::Receive, 0, 1, chunk.data(),
                           static_cast<std::uint32_t>(chunk.size())};
  talmeris::OnServerMessage(&harness.ctx, m);
  if (++harness.runs % 256 == 0) harness.Check();
  return 0;
}
