// The pure pieces of the voice layer: voice activation, a frame's level, and when to shed a
// standing backlog of frames.
#pragma once

#include <cstdint>

namespace talmeris::voice {

// When to drop frames so that a standing backlog falls away. `Note` is told, once a frame, how
// many frames wait ahead of it; the least of that over a window of kShedWindowFrames, above
// `allowed`, is the standing excess. A large excess (after a stall) goes at once, one jump
// rather than a long stretch of choppy sound; a small one a frame at a time: a quiet frame
// whenever there is excess, a loud one at most every kShedSpacingFrames, so speech without a
// pause loses one 10 ms frame in ten.
constexpr float kPauseDb = -50.0f;  // a frame this quiet is a pause, and may go unheard

struct Backlog {
  static constexpr int kShedWindowFrames = 50;   // 0.5 s
  static constexpr int kShedSpacingFrames = 10;  // 100 ms
  static constexpr int kJumpFrames = 5;          // 50 ms and more go at once
  int allowed = 0;
  int least = 1 << 30, frames = 0, excess = 0, since = 0;
  void Note(int waiting) {
    least = waiting < least ? waiting : least;
    ++since;
    if (++frames >= kShedWindowFrames) {
      excess = least > allowed ? least - allowed : 0;
      least = 1 << 30;
      frames = 0;
    }
  }
  // How many frames to drop now; `quiet`: the frame at hand is a pause.
  int Shed(bool quiet) {
    int n = 0;
    if (excess >= kJumpFrames)
      n = excess;
    else if (excess > 0 && (quiet || since >= kShedSpacingFrames))
      n = 1;
    excess -= n;
    if (n > 0) since = 0;
    return n;
  }
};

// The level of a frame: its RMS in dB below full scale (-96 for silence).
float FrameLevelDb(const std::int16_t* samples, int count);

// Opens when the level has been above `open_db` for `attack` frames in a row (40 ms), stays open
// while it is above `close_db`, and closes `hold` frames (200 ms) after it fell below. A short
// click or a breath under the open threshold never opens it; the hold keeps word endings and the
// pauses between words. (The sender also sends the frames captured just before it opened.)
class VoiceDetector {
 public:
  VoiceDetector(float open_db, float close_db, int attack = 4, int hold = 20)
      : open_db_(open_db), close_db_(close_db), attack_(attack), hold_(hold) {}
  bool Update(float level_db);
  bool open() const { return open_; }
  void SetThresholds(float open_db, float close_db) {
    open_db_ = open_db;
    close_db_ = close_db;
  }

 private:
  float open_db_, close_db_;
  int attack_, hold_;
  int above_ = 0;  // frames in a row above open_db
  int quiet_ = 0;  // frames in a row below close_db while open
  bool open_ = false;
};

}  // namespace talmeris::voice
