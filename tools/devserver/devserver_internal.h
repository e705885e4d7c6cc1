// What the development server's parts share inside it: its session and bot records and its
// constants. Every record is guarded by DevServer::mutex_ (the voice players by voice_mutex_).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "devserver.h"
#include "net/transport.h"

namespace talmeris::devserver {

struct DevServer::Client {
  net::DPNID id = 0;
  int slot = -1;
  std::string handle;
  std::string name;
  std::uint8_t gender = 1;
  bool verified = false;
  bool logged_in = false;
  std::uint16_t data_revision = 0;  // from its login
  std::size_t next_chunk = 0;       // while patching
  bool patching = false;
};

struct DevServer::Bot {
  int slot;
  std::string handle;
  std::string name;
  std::uint8_t gender;
  bool online = false;
  double next_toggle = 0;
  float angle = 0;
  double next_chat = 0;
};

inline const net::Guid kServerApplication =
    *net::Guid::Parse("{1AD4CA3B-AC68-4D9B-9522-BE59CD485276}");
inline const char* const kMaleNames[] = {"Bram Hollis", "Corin Vale", "Dorian Pike", "Emmet Crane"};
inline const char* const kFemaleNames[] = {"Ilse Marrow", "Juna Reyes", "Katya Lind",
                                           "Liora Finch"};
inline const char* const kBotLines[] = {"anyone near the north relay?", "docking in five",
                                        "nice flying!", "the weather over the ridge is rough today",
                                        "see you at the hub"};
constexpr std::size_t kChunkData = 16384;

}  // namespace talmeris::devserver
