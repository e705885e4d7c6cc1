// Without libFuzzer: replays the saved inputs named on the command line, then a fixed number of
// generated inputs shaped like the protocol's messages, so every build runs each target.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {
void Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}
}  // namespace

// Arguments: files or folders of inputs (the saved corpus), replayed before the generated ones.
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path p = argv[i];
    if (std::filesystem::is_directory(p)) {
      for (const auto& entry : std::filesystem::directory_iterator(p)) Replay(entry.path());
    } else {
      Replay(p);
    }
  }
  std::mt19937 random(20261208);
  // Sizes of both protocols (one more for the peer target's selector byte).
  const std::size_t sizes[] = {14, 20, 21, 36, 37, 60, 61, 64, 88, 89, 260, 261, 16524, 1};
  int runs = 0;
  for (; runs < 30000; ++runs) {
    std::size_t size = runs % 4 == 0 ? 1 + random() % 300 : sizes[random() % std::size(sizes)];
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    // Bias toward valid types, printable field text and slots around the tables' ends.
    if (size > 1) bytes[0] = static_cast<std::uint8_t>(random() % 30);
    if (size > 1) bytes[1] = static_cast<std::uint8_t>((random() % 2) ? random() % 70 : 255);
    if (size == 88) {
      const char* texts[] = {"1,Quill,Captain,77,Ann Lee, Jr.", "Wings,0,0,1,300,5,0",
                             "4,5,-6,7,8,9", ",,,", "x,99999999999999999999,1"};
      std::string t = texts[random() % std::size(texts)];
      std::copy(t.begin(), t.end(), bytes.begin() + 4);
      if (random() % 2) bytes[4 + t.size()] = 0;
    }
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%d inputs\n", runs);
  return 0;
}
