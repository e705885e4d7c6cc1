// Patches: the plan made from the patch folder, and the chunks sent to a client that is behind.
#include "devserver_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/bytes.h"
#include "net/enet_transport.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "voice/voice_wire.h"

namespace talmeris::devserver {

using namespace net;

std::vector<PatchChunk> PlanPatch(const Options& options) {
  std::vector<PatchChunk> plan;
  if (options.patch_dir.empty()) return plan;
  namespace fs = std::filesystem;
  const fs::path root(options.patch_dir);
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_regular_file() && it->path().filename() != ".delete") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  auto windows_name = [](std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
  };
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string name = windows_name(fs::relative(file, root).generic_string());
    std::size_t offset = 0;
    do {
      PatchChunk chunk;
      chunk.name = name;
      chunk.offset = static_cast<std::uint32_t>(offset);
      const std::size_t n = std::min(kChunkData, bytes.size() - offset);
      chunk.data.assign(bytes.begin() + static_cast<long>(offset),
                        bytes.begin() + static_cast<long>(offset + n));
      plan.push_back(std::move(chunk));
      offset += n;
    } while (offset < bytes.size());
  }
  std::ifstream deletes(root / ".delete");
  for (std::string line; std::getline(deletes, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    PatchChunk chunk;
    chunk.name = windows_name(line);
    chunk.operation = 2;
    plan.push_back(std::move(chunk));
  }
  PatchChunk revision;
  revision.name = "patches.dat";
  revision.data = {static_cast<std::uint8_t>(options.patch_revision & 0xFF),
                   static_cast<std::uint8_t>(options.patch_revision >> 8)};
  revision.operation = options.patch_restart ? 4 : 1;
  plan.push_back(std::move(revision));
  return plan;
}

void DevServer::SendNextChunk(Client& c) {
  if (c.next_chunk >= patch_.size()) {
    c.patching = false;
    CompleteLogin(c, options_.patch_revision);
    return;
  }
  const PatchChunk& chunk = patch_[c.next_chunk++];
  std::vector<std::uint8_t> m(kPatchChunkSize, 0);
  StoreFixedText(m.data(), 128, chunk.name);
  StoreU32(m.data() + 128, chunk.offset);
  StoreU32(m.data() + 132, static_cast<std::uint32_t>(chunk.data.size()));
  std::copy(chunk.data.begin(), chunk.data.end(), m.begin() + 136);
  m[16520] = chunk.operation;
  SendTo(c.id, m.data(), static_cast<std::uint32_t>(m.size()));
}

}  // namespace talmeris::devserver
