// messages.txt, the offline message store: one message per line, CR LF written, CR LF or LF
// read (a CR not followed by LF is part of the text). Every open-read/write-close of the file
// holds offline_messages_lock.
//
// Hand-over with the Offline Messages dialog: while it is open (offline_messages_window set,
// under the lock) an arriving message goes to offline_inbox instead of the file and the dialog is
// told to pull it; the dialog takes the inbox when it closes, under the lock, in the same step
// that clears the window. So each message ends up exactly once, in the list written back or in
// the file, and the server handler never waits for the main thread while holding the lock.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace talmeris {
struct ClientContext;

constexpr const char* kOfflineMessagesFile = "messages.txt";
constexpr std::size_t kOfflineInboxMax = 10000;  // messages waiting for an open dialog

// The lines of a messages.txt image. A last line without a line end is a message too (it would
// otherwise be lost when the dialog writes the file back). Lines of any length are kept whole.
std::vector<std::string> ParseOfflineMessages(std::string_view bytes);

// Reads the file (caller holds the lock); an unreadable or missing file gives no messages.
std::vector<std::string> ReadOfflineMessages(const std::filesystem::path& file);

// Rewrites the file with `messages`, each followed by CR LF (caller holds the lock), whole or not
// at all (a temporary file takes the name). False when it could not be written.
bool WriteOfflineMessages(const std::filesystem::path& file,
                          const std::vector<std::string>& messages);

// Lines in the file, creating it empty when missing (the end of connecting).
int CountOfflineMessages(ClientContext& ctx);

// An OfflineMessage from the server: to the open dialog, else appended to the file. A message
// that cannot be stored is reported in the event log.
void DeliverOfflineMessage(ClientContext& ctx, std::string_view text);

// The dialog's side of the hand-over, under the lock: opening sets the window and reads the
// file; taking empties the inbox; closing writes the list (plus whatever arrived meanwhile) and
// clears the window. Closing returns false when the file could not be written.
std::vector<std::string> OpenOfflineMessages(ClientContext& ctx, unsigned window);
std::vector<std::string> TakeOfflineInbox(ClientContext& ctx);
bool CloseOfflineMessages(ClientContext& ctx, std::vector<std::string> list, std::size_t* written);

}  // namespace talmeris
