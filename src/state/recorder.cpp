#include "state/recorder.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "base/bytes.h"
#include "state/context.h"
#include "state/files.h"
#include "state/main_window.h"

namespace talmeris {
namespace {

constexpr double kWorldRadius = 2939.6;
constexpr std::size_t kLineLimit = 199;  // characters of one record line
constexpr std::size_t kViewReportSize = 60;
constexpr std::size_t kVesselStateSize = 64;

// The file's three header lines; the runs of blanks are part of the format.
constexpr const char* kHeader[] = {
    "Time Ev RS position                      velocity             fuel  orientation          "
    "       rollrate          thrust      controls       altitude",
    " s          x         y         z         i      j      k      kg    ox     oy     oz     "
    "ow     y     p     r     i   j   k   r    e    a    km MSL",
    "---- -- -- --------- --------- --------- ------ ------ ------ ----- ------ ------ ------ "
    "------ ----- ----- ----- --- --- --- ---- ---- ---- ---------"};

// The own vessel as either source carries it: the view's report or the server's state.
struct Sample {
  float position[3], velocity[3], orientation[4];
  std::int16_t rates[3];
  std::int8_t thrust[3];
  std::int8_t attach;
  std::int8_t controls[3];
  double fuel_kg;
  bool from_view;
};

Sample Decode(const std::uint8_t* m, std::size_t size) {
  Sample s{};
  s.from_view = size == kViewReportSize;
  // Offsets of position, velocity, orientation, rates, thrust, attach mode and controls.
  const std::size_t at[7] = {s.from_view ? 0u : 4u,   s.from_view ? 12u : 16u,
                             s.from_view ? 24u : 28u, s.from_view ? 40u : 44u,
                             s.from_view ? 46u : 50u, 56u,
                             s.from_view ? 57u : 58u};
  for (int i = 0; i < 3; ++i) {
    s.position[i] = LoadF32(m + at[0] + 4 * i);
    s.velocity[i] = LoadF32(m + at[1] + 4 * i);
    s.rates[i] = static_cast<std::int16_t>(LoadU16(m + at[3] + 2 * i));
    s.thrust[i] = static_cast<std::int8_t>(m[at[4] + i]);
    s.controls[i] = static_cast<std::int8_t>(m[at[6] + i]);
  }
  for (int i = 0; i < 4; ++i) s.orientation[i] = LoadF32(m + at[2] + 4 * i);
  s.attach = static_cast<std::int8_t>(m[at[5]]);
  s.fuel_kg = s.from_view ? LoadF32(m + 52) / 2.2 : 0.0;
  return s;
}

// A wire control byte as the file prints it: times 127, low 8 bits read as signed.
int Control(std::int8_t wire) {
  return static_cast<std::int8_t>((wire * 127) & 0xFF);
}

// Closes the open flight data file; false when it is not whole: a write failed on the way (a
// full disk) or the close did.
bool CloseFlightFile(WorldState& w) {
  const bool whole = !std::ferror(w.fdr_file);
  const bool closed = std::fclose(w.fdr_file) == 0 && whole;
  w.fdr_file = nullptr;
  return closed;
}

}  // namespace

bool RecordingActive(ClientContext& ctx) {
  std::lock_guard lock(ctx.world_lock);
  return ctx.world.fdr_file != nullptr;
}

bool ToggleRecording(ClientContext& ctx, WindowId window) {
  std::string line;
  bool recording;
  {
    std::lock_guard lock(ctx.world_lock);
    WorldState& w = ctx.world;
    if (w.fdr_file) {
      line = "File \"" + std::string(w.fdr_file_name.View()) +
             (CloseFlightFile(w) ? "\" closed..." : "\" was not saved whole!");
    } else {
      char name[32];
      std::snprintf(name, sizeof name, "fdr%03i.dat", static_cast<int>(w.fdr_file_number));
      w.fdr_file_name.Set(name);
      ++w.fdr_file_number;
      w.fdr_file = OpenFile(ctx.File(name), "wb");
      if (!w.fdr_file) {
        // The recorder stays off; the next press tries the next number.
        line = "File \"" + std::string(name) + "\" could not be created!";
      } else {
        w.fdr_sample_counter = 0;
        for (const char* header : kHeader) {
          std::fputs(header, w.fdr_file);
          std::fputs("\r\n", w.fdr_file);
        }
        line = "File \"" + std::string(name) + "\" recording...";
      }
    }
    recording = w.fdr_file != nullptr;
  }
  // Logged once world_lock is released: the log posts to the main window.
  ctx.event_log.Add(window, line);
  return recording;
}

void RecordSample(ClientContext& ctx, const std::uint8_t* sample, std::size_t size) {
  WorldState& w = ctx.world;
  if (w.fdr_file && (size == kViewReportSize || size == kVesselStateSize)) {
    const Sample s = Decode(sample, size);
    double altitude = 0.0;
    if (s.attach < 0) {
      altitude = std::sqrt(static_cast<double>(s.position[0]) * s.position[0] +
                           static_cast<double>(s.position[1]) * s.position[1] +
                           static_cast<double>(s.position[2]) * s.position[2]) -
                 kWorldRadius;
      if (!s.from_view) altitude = std::fabs(altitude);
    }
    char line[kLineLimit + 1];
    const int n = std::snprintf(
        line, sizeof line,
        "%4i,%2i,%+2i,%+9.3f %+9.3f %+9.3f,%+6.3f %+6.3f %+6.3f,%5.0f,%+6.3f %+6.3f %+6.3f "
        "%+6.3f,%+5i %+5i %+5i,%+3i %+3i %+3i,%+4i %+4i %+4i,%+9.3f",
        static_cast<int>(w.fdr_sample_counter), w.fdr_events[0], s.attach, s.position[0],
        s.position[1], s.position[2], s.velocity[0], s.velocity[1], s.velocity[2], s.fuel_kg,
        s.orientation[0], s.orientation[1], s.orientation[2], s.orientation[3], s.rates[2],
        s.rates[0], s.rates[1], s.thrust[0], s.thrust[1], s.thrust[2], Control(s.controls[2]),
        Control(s.controls[0]), Control(s.controls[1]), altitude);
    if (n < 0 || static_cast<std::size_t>(n) + 1 > kLineLimit) {
      // The line does not fit: the client closes. The box is posted, never waited for, as
      // world_lock is held (and the server's states are handled on the transport's thread).
      // Recording stops here, so the samples that follow until the client has closed post no
      // more boxes.
      const WindowId main = ctx.main_window.load();
      if (!CloseFlightFile(w)) {
        ctx.event_log.Add(
            main, "File \"" + std::string(w.fdr_file_name.View()) + "\" was not saved whole!");
      }
      ctx.ports.windows->PostMessageBox(main, "Out of string space for FDR...",
                                        "Client Application", kMbIconWarning,
                                        s.from_view ? WindowPort::kThenClose : kEndFatal);
    } else {
      std::fputs(line, w.fdr_file);
      std::fputs("\r\n", w.fdr_file);
      std::fflush(w.fdr_file);  // a line per second: an abnormal end keeps what was recorded
    }
  }
  if (w.fdr_events[15] != 0)
    ctx.event_log.Add(ctx.main_window.load(), "Out of event storage slots!");
  for (int i = 0; i < 15; ++i) w.fdr_events[i] = w.fdr_events[i + 1];
  w.fdr_events[15] = 0;
  w.fdr_record_due = false;
}

void QueueEvent(ClientContext& ctx, std::uint8_t code) {
  for (std::uint8_t& entry : ctx.world.fdr_events) {
    if (entry == 0) {
      entry = code;
      return;
    }
  }
}

}  // namespace talmeris
