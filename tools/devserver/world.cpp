// The world kept across restarts in an SQLite file: accounts (passwords as libsodium's salted
// hashes), characters, alignments, alliances and their rates, and offline messages waiting for
// absent players. The server holds the file's lock while it runs (a second server is refused),
// and writes the whole world in one transaction whenever it changed: a kill or a full disk on
// the way leaves what was written before. Guarded by the server's mutex_.
#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <sstream>

#include "devserver_internal.h"

namespace talmeris::devserver {

namespace {

constexpr int kSchemaVersion = 1;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS accounts(handle TEXT PRIMARY KEY, password_hash TEXT NOT NULL,"
    " character_name TEXT NOT NULL, gender INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS alliances(id INTEGER PRIMARY KEY, name TEXT NOT NULL,"
    " chair TEXT NOT NULL, tax INTEGER NOT NULL, redistribution INTEGER NOT NULL,"
    " discount INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS members(alliance INTEGER NOT NULL, handle TEXT NOT NULL,"
    " since INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS alignments(viewer TEXT NOT NULL, player TEXT NOT NULL,"
    " alignment INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS offline(handle TEXT NOT NULL, position INTEGER NOT NULL,"
    " text TEXT NOT NULL);";

std::string Column(sqlite3_stmt* s, int i) {
  const unsigned char* text = sqlite3_column_text(s, i);
  return text ? reinterpret_cast<const char*>(text) : "";
}

}  // namespace

struct DevServer::WorldFile {
  sqlite3* db = nullptr;
  ~WorldFile() { sqlite3_close(db); }
  std::string Error() const { return db ? sqlite3_errmsg(db) : "cannot open it"; }
  bool Exec(const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // Runs `sql` with text and integer arguments bound in order ("t" or "i" in `kinds`).
  bool Run(const char* sql, const char* kinds, std::initializer_list<std::string> texts,
           std::initializer_list<long long> numbers) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) return false;
    auto text = texts.begin();
    auto number = numbers.begin();
    for (int i = 0; kinds[i]; ++i) {
      if (kinds[i] == 't') {
        sqlite3_bind_text(s, i + 1, text->c_str(), -1, SQLITE_TRANSIENT);
        ++text;
      } else {
        sqlite3_bind_int64(s, i + 1, *number++);
      }
    }
    const bool ok = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_finalize(s);
    return ok;
  }
};

// Here, where the kept world's type is whole.
DevServer::DevServer(Options options) : options_(std::move(options)) {}

DevServer::~DevServer() {
  Stop();
}

bool PasswordMatches(const Account& account, const std::string& password) {
  if (account.password_hash.empty()) return account.password == password;
  return crypto_pwhash_str_verify(account.password_hash.c_str(), password.c_str(),
                                  password.size()) == 0;
}

bool DevServer::OpenWorld(std::string* error) {
  std::lock_guard lock(mutex_);
  if (options_.world_file.empty()) return true;
  auto world = std::make_unique<WorldFile>();
  const std::string& file = options_.world_file;
  auto fail = [&](const std::string& why) {
    *error = "the world in " + file + " " + why;
    return false;
  };
  if (sqlite3_open_v2(file.c_str(), &world->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    return fail("cannot be opened: " + world->Error());
  }
  ::chmod(file.c_str(), 0600);  // it holds password hashes: the server's user's alone
  // The lock is taken now and kept: another server on the same world is refused at once.
  world->Exec("PRAGMA locking_mode=EXCLUSIVE");
  if (!world->Exec("BEGIN IMMEDIATE")) {
    const int code = sqlite3_errcode(world->db);
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) return fail("is in use by another server");
    return fail("is damaged or cannot be read: " + world->Error());
  }
  sqlite3_stmt* s = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(world->db, "PRAGMA user_version", -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW) {
    version = sqlite3_column_int(s, 0);
  }
  sqlite3_finalize(s);
  if (version < 0) return fail("is damaged or cannot be read: " + world->Error());
  if (version > kSchemaVersion) return fail("was made by a newer server");
  if (!world->Exec(kSchema) ||
      !world->Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str()) ||
      !world->Exec("COMMIT")) {
    return fail("cannot be written: " + world->Error());
  }
  if (!options_.fresh_world) {
    // Accounts given on the command line stay; the kept ones come first where both name one.
    auto each = [&](const char* sql, auto row) {
      sqlite3_stmt* q = nullptr;
      if (sqlite3_prepare_v2(world->db, sql, -1, &q, nullptr) != SQLITE_OK) return false;
      int step;
      while ((step = sqlite3_step(q)) == SQLITE_ROW) row(q);
      sqlite3_finalize(q);
      return step == SQLITE_DONE;
    };
    std::vector<Account> kept;
    bool ok = each("SELECT handle, password_hash, character_name, gender FROM accounts",
                   [&](sqlite3_stmt* q) {
                     kept.push_back(Account{Column(q, 0), "", Column(q, 2),
                                            static_cast<std::uint8_t>(sqlite3_column_int(q, 3)),
                                            Column(q, 1)});
                   });
    for (const Account& a : options_.accounts) {
      bool known = false;
      for (const Account& k : kept) known = known || k.handle == a.handle;
      if (!known) kept.push_back(a);
    }
    ok = ok && each("SELECT id, name, chair, tax, redistribution, discount FROM alliances",
                    [&](sqlite3_stmt* q) {
                      Alliance& a = alliances_[sqlite3_column_int(q, 0)];
                      a.name = Column(q, 1);
                      a.chair = Column(q, 2);
                      a.tax = sqlite3_column_int(q, 3);
                      a.redistribution = sqlite3_column_int(q, 4);
                      a.discount = sqlite3_column_int(q, 5);
                      next_alliance_ = std::max(next_alliance_, sqlite3_column_int(q, 0) + 1);
                    });
    ok = ok && each("SELECT alliance, handle, since FROM members", [&](sqlite3_stmt* q) {
           alliances_[sqlite3_column_int(q, 0)].members[Column(q, 1)] = sqlite3_column_int64(q, 2);
         });
    ok = ok && each("SELECT viewer, player, alignment FROM alignments", [&](sqlite3_stmt* q) {
           alignments_[{Column(q, 0), Column(q, 1)}] = sqlite3_column_int(q, 2);
         });
    ok = ok && each("SELECT handle, text FROM offline ORDER BY handle, position",
                    [&](sqlite3_stmt* q) { offline_[Column(q, 0)].push_back(Column(q, 1)); });
    if (!ok) return fail("is damaged or cannot be read: " + world->Error());
    options_.accounts = std::move(kept);
  }
  world_ = std::move(world);
  world_written_.clear();
  SaveWorldIfChanged();
  return true;
}

void DevServer::SaveWorldIfChanged() {
  if (!world_) return;
  // Passwords are kept only as salted hashes.
  for (Account& a : options_.accounts) {
    if (!a.password_hash.empty()) continue;
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, a.password.c_str(), a.password.size(),
                          crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
      Log("could not hash the password of " + a.handle);
      return;
    }
    a.password_hash = hash;
    sodium_memzero(a.password.data(), a.password.size());
    a.password.clear();
  }
  std::ostringstream now;  // the world as it would be written, to see whether it changed
  for (const Account& a : options_.accounts) {
    now << a.handle << '\n' << a.password_hash << '\n' << a.character_name << '\n' << +a.gender;
  }
  for (const auto& [id, a] : alliances_) {
    now << id << a.name << '\n' << a.chair << '\n' << a.tax << a.redistribution << a.discount;
    for (const auto& [handle, since] : a.members) now << handle << '\n' << since;
  }
  for (const auto& [who, value] : alignments_) now << who.first << '\n' << who.second << value;
  for (const auto& [handle, texts] : offline_) {
    for (const auto& text : texts) now << handle << '\n' << text << '\n';
  }
  if (now.str() == world_written_) return;
  WorldFile& w = *world_;
  bool ok = w.Exec("BEGIN IMMEDIATE");
  for (const char* table : {"accounts", "alliances", "members", "alignments", "offline"}) {
    ok = ok && w.Exec((std::string("DELETE FROM ") + table).c_str());
  }
  for (const Account& a : options_.accounts) {
    ok = ok && w.Run("INSERT OR REPLACE INTO accounts VALUES(?,?,?,?)", "ttti",
                     {a.handle, a.password_hash, a.character_name}, {a.gender});
  }
  for (const auto& [id, a] : alliances_) {
    ok = ok && w.Run("INSERT INTO alliances VALUES(?,?,?,?,?,?)", "ittiii", {a.name, a.chair},
                     {id, a.tax, a.redistribution, a.discount});
    for (const auto& [handle, since] : a.members) {
      ok = ok && w.Run("INSERT INTO members VALUES(?,?,?)", "iti", {handle}, {id, since});
    }
  }
  for (const auto& [who, value] : alignments_) {
    ok = ok &&
         w.Run("INSERT INTO alignments VALUES(?,?,?)", "tti", {who.first, who.second}, {value});
  }
  for (const auto& [handle, texts] : offline_) {
    long long position = 0;
    for (const auto& text : texts) {
      ok = ok && w.Run("INSERT INTO offline VALUES(?,?,?)", "tit", {handle, text}, {position++});
    }
  }
  if (ok && w.Exec("COMMIT")) {
    world_written_ = now.str();
    return;
  }
  const std::string why = w.Error();
  w.Exec("ROLLBACK");  // what was written before stays as it was
  Log("could not keep the world in " + options_.world_file + ": " + why);
  std::fprintf(stderr, "talmeris-devserver: could not keep the world in %s: %s\n",
               options_.world_file.c_str(), why.c_str());
}

}  // namespace talmeris::devserver
