// The flight data recorder's files and lines, and the statistics report, on fakes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "app/statistics.h"
#include "base/bytes.h"
#include "state/main_window.h"
#include "state/recorder.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::TestClient;
constexpr WindowId kMain = TestClient::kMain;

std::array<std::uint8_t, 60> ViewReport(float x, float y, float z, float fuel_pounds) {
  std::array<std::uint8_t, 60> r{};
  StoreF32(&r[0], x);
  StoreF32(&r[4], y);
  StoreF32(&r[8], z);
  StoreF32(&r[12], 0.5f);  // velocity i
  StoreF32(&r[36], 1.0f);  // orientation w
  StoreU16(&r[40], 100);   // rates: pitch, roll, yaw
  StoreU16(&r[42], 200);
  StoreU16(&r[44], static_cast<std::uint16_t>(-300));
  r[46] = 5;     // thrust i
  r[47] = 0xFB;  // thrust j: -5
  StoreF32(&r[52], fuel_pounds);
  r[56] = 0xFF;                        // moving freely
  r[57] = 1, r[58] = 0xFF, r[59] = 2;  // controls: elevator, aileron, rudder
  return r;
}

// The same state as the server sends it for the own vessel.
std::array<std::uint8_t, 64> ServerState(const std::array<std::uint8_t, 60>& r) {
  std::array<std::uint8_t, 64> s{};
  s[0] = 4;
  std::copy(r.begin(), r.begin() + 40, s.begin() + 4);        // position, velocity, orientation
  std::copy(r.begin() + 40, r.begin() + 49, s.begin() + 44);  // rates, thrust
  s[56] = r[56];
  std::copy(r.begin() + 57, r.begin() + 60, s.begin() + 58);  // controls
  return s;
}

class RecorderTest : public ::testing::Test {
 protected:
  RecorderTest() { t.ctx.main_window = kMain; }
  void Sample(const std::uint8_t* data, std::size_t size) {
    std::lock_guard lock(t.ctx.world_lock);
    t.ctx.world.fdr_record_due = true;
    RecordSample(t.ctx, data, size);
  }
  std::vector<std::string> Lines(const char* name) {
    auto bytes = t.dir.Read(name);
    std::string text(bytes.begin(), bytes.end());
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
      lines.push_back(text.substr(at, end - at));
    }
    return lines;
  }
  TestClient t;
};

TEST_F(RecorderTest, FilesLinesAndEvents) {
  ToggleRecording(t.ctx, kMain);
  EXPECT_TRUE(RecordingActive(t.ctx));
  EXPECT_EQ(t.ctx.event_log.Line(0), "File \"fdr000.dat\" recording...");
  auto report = ViewReport(3000.0f, 0.0f, 0.0f, 22.0f);
  t.ctx.world.fdr_sample_counter = 7;
  Sample(report.data(), report.size());
  auto below = ViewReport(2900.0f, 0.0f, 0.0f, 22.0f);
  Sample(below.data(), below.size());
  auto state = ServerState(below);
  Sample(state.data(), state.size());
  // Seventeen switch events in one second: the seventeenth is lost, and the queue drains one a
  // line, with "Out of event storage slots!" at the step that finds it full.
  for (int code = 1; code <= 17; ++code) QueueEvent(t.ctx, static_cast<std::uint8_t>(code));
  Sample(state.data(), state.size());
  Sample(state.data(), state.size());
  ToggleRecording(t.ctx, kMain);
  EXPECT_FALSE(RecordingActive(t.ctx));
  EXPECT_EQ(t.ctx.event_log.Line(t.ctx.event_log.Count() - 1), "File \"fdr000.dat\" closed...");
  EXPECT_EQ(t.ctx.event_log.Line(1), "Out of event storage slots!");

  auto lines = Lines("fdr000.dat");
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0],
            "Time Ev RS position                      velocity             fuel  orientation     "
            "            rollrate          thrust      controls       altitude");
  EXPECT_EQ(lines[1],
            " s          x         y         z         i      j      k      kg    ox     oy     oz "
            "    ow     y     p     r     i   j   k   r    e    a    km MSL");
  EXPECT_EQ(lines[2],
            "---- -- -- --------- --------- --------- ------ ------ ------ ----- ------ ------ "
            "------ ------ ----- ----- ----- --- --- --- ---- ---- ---- ---------");
  // Fuel 22 pounds is 10 kg; rates in the order yaw, pitch, roll; controls rudder, elevator,
  // aileron with the low-byte wrap (2 * 127 prints as -2); the view keeps the altitude's sign.
  EXPECT_EQ(lines[3],
            "   7, 0,-1,+3000.000    +0.000    +0.000,+0.500 +0.000 +0.000,   10,+0.000 +0.000 "
            "+0.000 +1.000, -300  +100  +200, +5  -5  +0,  -2 +127 -127,  +60.400");
  EXPECT_EQ(lines[4].substr(lines[4].size() - 9), "  -39.600");
  // The same state from the server: fuel 0 and the altitude's absolute value.
  EXPECT_EQ(lines[5].substr(0, 41), lines[4].substr(0, 41));
  EXPECT_EQ(lines[5].substr(61, 7), ",    0,");
  EXPECT_EQ(lines[5].substr(lines[5].size() - 9), "  +39.600");
  EXPECT_EQ(lines[6].substr(0, 8), "   7, 1,");
  EXPECT_EQ(lines[7].substr(0, 8), "   7, 2,");

  // A second file in the same run; a line that does not fit closes the client, by the path,
  // and stops recording: the samples that follow until it has closed post no more boxes.
  ToggleRecording(t.ctx, kMain);
  EXPECT_EQ(t.ctx.world.fdr_file_name.View(), "fdr001.dat");
  auto huge = ViewReport(1e30f, 1e30f, 1e30f, 1e30f);
  Sample(huge.data(), huge.size());
  Sample(huge.data(), huge.size());
  auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Out of string space for FDR...");
  EXPECT_EQ(boxes[0].type, static_cast<unsigned>(kMbIconWarning));
  EXPECT_EQ(t.windows.CountCalls("close"), 1);
  EXPECT_FALSE(RecordingActive(t.ctx));
  EXPECT_EQ(Lines("fdr001.dat").size(), 3u);  // the header only
  ToggleRecording(t.ctx, kMain);
  auto huge_state = ServerState(huge);
  Sample(huge_state.data(), huge_state.size());
  EXPECT_EQ(t.windows.Boxes().size(), 2u);
  EXPECT_EQ(t.windows.EndCode(kMain), kEndFatal);

  // A file that cannot be created leaves the recorder off; the next press tries the next number.
  std::filesystem::create_directory(t.dir.path() / "fdr003.dat");
  ToggleRecording(t.ctx, kMain);
  EXPECT_FALSE(RecordingActive(t.ctx));
  EXPECT_EQ(t.ctx.event_log.Line(t.ctx.event_log.Count() - 1),
            "File \"fdr003.dat\" could not be created!");
  ToggleRecording(t.ctx, kMain);
  EXPECT_TRUE(RecordingActive(t.ctx));
  ToggleRecording(t.ctx, kMain);
}

// Records on a disk that fills after 3000 bytes; exits with 7 when closing the file says that it
// was not saved whole.
[[noreturn]] void RecordOnAFillingDisk(TestClient& t) {
  ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {3000, 3000};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  ToggleRecording(t.ctx, kMain);
  const auto report = ViewReport(3000.0f, 0.0f, 0.0f, 22.0f);
  for (int i = 0; i < 40; ++i) {
    std::lock_guard lock(t.ctx.world_lock);
    RecordSample(t.ctx, report.data(), report.size());
  }
  ToggleRecording(t.ctx, kMain);
  const std::string last = t.ctx.event_log.Line(t.ctx.event_log.Count() - 1);
  std::exit(last == "File \"fdr000.dat\" was not saved whole!" ? 7 : 1);
}

TEST_F(RecorderTest, ADiskFillingWhileRecordingIsReportedAtTheClose) {
  EXPECT_EXIT(RecordOnAFillingDisk(t), ::testing::ExitedWithCode(7), "");
}

class ReportTest : public RecorderTest {
 protected:
  void Vessels(int count) {
    for (int i = 0; i < count; ++i) {
      VesselRecord& v = t.ctx.tables.vessels[i + 10];
      v.present = 1;
      v.ivr_name.Set("Kite");
      v.position[0] = 2950.0f;
      v.hull_registration.Set("TAL-1");
    }
  }
  std::vector<std::string> ReportLines() {
    std::string report = StatisticsReport(t.ctx);
    EXPECT_LE(report.size(), kReportLimit);
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = report.find('\n', at)) != std::string::npos; at = end + 1) {
      lines.push_back(report.substr(at, end - at));
    }
    lines.push_back(report.substr(at));
    return lines;
  }
};

TEST_F(ReportTest, LinesPeersAndTheVesselLimit) {
  t.network.CreateClient(&t.ctx.net.net_client);
  t.network.CreateServer(&t.ctx.net.peer_server);
  t.ctx.tables.own_player_slot = 2;
  t.ctx.tables.own_vessel_slot = 4;
  t.ctx.tables.roster[2].frame = 11;
  t.ctx.world.universe_hours = 101.0f;
  auto lines = ReportLines();
  EXPECT_EQ(lines[0].rfind("Universe time: 101:", 0), 0u);
  EXPECT_EQ(
      lines[2],
      "# T (P)\tPingMS\tCurBPS\tMaxBPS\tSntGPk\tSntPck\tPckTry\tPckDrp\tRcvGPk\tRcvPck\tRcvMsg");
  EXPECT_EQ(
      lines[3],
      "Server\t    42\t     0\t     0\t     0\t     0\t     0\t     0\t     0\t     0\t     0");
  EXPECT_EQ(lines[4], "");  // no peer: straight on to the location
  EXPECT_EQ(lines[5], "Plyr2 Frame11 Bldg0 Unit0 Type0 X0 Y0 Hdg0");
  // The own vessel is listed, with its asterisk, though not present.
  EXPECT_EQ(lines[8], "  4\t     *\t00000000+0 000 000+0000\t +0.000  +0.000  +0.000\t-2939.600\t");

  for (int i : {0, 2}) {
    t.ctx.peer_slots[i].in_use = 1;
    t.ctx.peer_slots[i].kind = static_cast<std::uint8_t>(i == 2 ? 2 : 1);
    t.ctx.peer_slots[i].propulsion = i == 0;
    t.ctx.peer_slots[i].dpnid = 0x200 + i;
  }
  lines = ReportLines();
  EXPECT_EQ(lines[4].rfind("0 1 (1)\t     0", 0), 0u);
  EXPECT_EQ(lines[5].rfind("2 2 (0)\t     0", 0), 0u);

  Vessels(32);  // with the own vessel: exactly 33 qualify
  lines = ReportLines();
  EXPECT_EQ(lines.back(), "Continued... (33-sizetrack in total)");
  EXPECT_EQ(lines[lines.size() - 2].rfind(" 41\t Kite\t", 0), 0u);
  Vessels(39);  // 40: 33 lines and the count
  lines = ReportLines();
  int vessel_lines = 0;
  for (const auto& l : lines)
    vessel_lines += l.find("TAL-1") != std::string::npos || l.find("*\t") != std::string::npos;
  EXPECT_EQ(vessel_lines, 33);
  EXPECT_EQ(lines.back(), "Continued... (40-sizetrack in total)");
}

}  // namespace
}  // namespace talmeris
