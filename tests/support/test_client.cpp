#include "support/test_client.h"

#include <fstream>
#include <random>

namespace talmeris::test {

TempDir::TempDir() {
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() /
          ("talmeris-test-" + std::to_string(rd()) + "-" + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const char* name, const std::vector<std::uint8_t>& bytes) const {
  std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> TempDir::Read(const char* name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TestClient::TestClient()
    : ctx(Ports{&windows, &network, &voice, &launcher, &keyboard}, dir.path()) {
  ctx.close_pause_ms = 0;
}

}  // namespace talmeris::test
