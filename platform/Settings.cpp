#include "platform/Settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <mutex>
#include <optional>

#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/Password.h"
#include "host/Platform.h"
#include "platform/StateDb.h"

KAX_STATE_SCHEMA("settings",
                 "CREATE TABLE IF NOT EXISTS settings ("
                 " client TEXT NOT NULL DEFAULT '',"
                 " section TEXT NOT NULL,"
                 " name TEXT NOT NULL,"
                 " value TEXT NOT NULL,"
                 " PRIMARY KEY (client, section, name))");

namespace {

std::string Trim(const std::string& text) {
    size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string::npos) return {};
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(start, end + 1 - start);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The parsed settings file, kept until the file changes.
struct FileCache {
    std::mutex mutex;
    std::string path;
    bool present = false;
    struct timespec mtime {};
    off_t size = 0;
    ino_t inode = 0;
    TWSettings::Values values;
};

FileCache& Cache() {
    static FileCache* cache = new FileCache();
    return *cache;
}

bool FileLookup(const std::string& section, const std::string& name, std::string& value) {
    std::string path = TWSettings::GetFilePath();
    struct stat st {};
    bool present = ::stat(path.c_str(), &st) == 0;
    FileCache& cache = Cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    bool unchanged = cache.path == path && cache.present == present &&
                     (!present || (cache.mtime.tv_sec == st.st_mtim.tv_sec &&
                                   cache.mtime.tv_nsec == st.st_mtim.tv_nsec &&
                                   cache.size == st.st_size && cache.inode == st.st_ino));
    if (!unchanged) {
        cache.path = path;
        cache.present = present;
        cache.mtime = st.st_mtim;
        cache.size = st.st_size;
        cache.inode = st.st_ino;
        cache.values.clear();
        CZuError err = TWSettings::LoadFile(path, cache.values);
        if (err) {
            cache.values.clear();
            ZULOG_ERROR("Settings file ignored: %s", err.AsString().c_str());
        }
    }
    auto found = cache.values.find({section, name});
    if (found == cache.values.end()) return false;
    value = found->second;
    return true;
}

// Stored value for one client; nullopt when absent or when the database
// cannot be read (then the file still decides).
std::optional<std::string> StoredLookup(StateDb& db, const std::string& client, const std::string& section,
                                        const std::string& name) {
    std::vector<StateDb::Row> rows;
    CZuError err = db.Query("SELECT value FROM settings WHERE client = ?1 AND section = ?2 AND name = ?3",
                            {client, section, name}, rows);
    if (err) {
        ZULOG_ERROR("Cannot read setting [%s/%s]: %s", section.c_str(), name.c_str(), err.AsString().c_str());
        return std::nullopt;
    }
    if (rows.empty() || rows[0].empty() || !rows[0][0]) return std::nullopt;
    return rows[0][0];
}

}  // namespace

std::string TWSettings::GetFilePath() { return FXPath::Join(TWPI_PlatformBase::GetStateRoot(), "settings.ini"); }

bool TWSettings::ParseBoolean(const std::string& text, bool& value) {
    std::string word = Lower(Trim(text));
    if (word == "true" || word == "yes" || word == "1") {
        value = true;
        return true;
    }
    if (word == "false" || word == "no" || word == "0") {
        value = false;
        return true;
    }
    return false;
}

bool TWSettings::ParseNumber(const std::string& text, int64_t& value) {
    std::string digits = Trim(text);
    const char* first = digits.data();
    const char* last = first + digits.size();
    if (first != last && *first == '+') ++first;
    int64_t parsed = 0;
    auto [ptr, ec] = std::from_chars(first, last, parsed);
    if (ec != std::errc() || ptr != last || first == last) return false;
    value = parsed;
    return true;
}

CZuError TWSettings::CheckValue(const std::string& name, const std::string& value) {
    if (name.size() < 2 || std::string("bnsp").find(name[0]) == std::string::npos)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                       "setting name [%s] does not start with a type letter (b, n, s or p)",
                                       name.c_str());
    if (name.find_first_of(" \t=[]") != std::string::npos)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                       "setting name [%s] holds a blank, '=' or a bracket", name.c_str());
    bool flag = false;
    int64_t number = 0;
    switch (name[0]) {
    case 'b':
        if (!ParseBoolean(value, flag))
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                           "[%s] needs true/false, yes/no or 1/0, not [%s]", name.c_str(),
                                           value.c_str());
        break;
    case 'n':
        if (!ParseNumber(value, number))
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                           "[%s] needs a whole number, not [%s]", name.c_str(), value.c_str());
        break;
    case 'p':
        // Never echo the value: it may be a password typed in clear.
        if (!TWPassword::IsProtectedText(value))
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument,
                                           "[%s] must hold a protected password (set it with the settings "
                                           "command), not clear text",
                                           name.c_str());
        break;
    default:
        break;
    }
    return CZuError::Success();
}

CZuError TWSettings::LoadFile(const std::string& path, Values& values) {
    values.clear();
    if (!FXFile::Exists(path)) return CZuError::Success();
    std::string text;
    CZuError err = FXFile::ReadAll(path, text);
    if (err) return err.Push(FXLOC);

    Values parsed;
    std::string section;
    size_t lineNumber = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++lineNumber;
        auto bad = [&](const std::string& why) {
            return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidData, "settings file [%s] line %zu: %s",
                                           path.c_str(), lineNumber, why.c_str());
        };
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return bad("a section header must end with ']'");
            section = Trim(line.substr(1, line.size() - 2));
            if (section.empty() || section.find_first_of("[]") != std::string::npos)
                return bad("invalid section name");
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) return bad("expected 'name = value', '[Section]' or a comment");
        if (section.empty()) return bad("setting before the first [Section]");
        std::string name = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        err = CheckValue(name, value);
        if (err) return bad(err.GetMessage());
        parsed[{section, name}] = value;
    }
    values = std::move(parsed);
    return CZuError::Success();
}

bool TWSettings::Lookup(const std::string& section, const std::string& name, std::string& value) {
    StateDb* db = nullptr;
    if (StateDb::Get(db).IsSuccess()) {
        std::string focus = TWPI_Focus::getFocusClientName();
        std::optional<std::string> stored;
        if (!focus.empty()) stored = StoredLookup(*db, focus, section, name);
        if (!stored) stored = StoredLookup(*db, "", section, name);
        if (stored) {
            value = *stored;
            return true;
        }
    }
    return FileLookup(section, name, value);
}

CZuError TWSettings::Set(const std::string& section, const std::string& name, const std::string& value,
                         const std::string& client) {
    if (section.empty() || section.find_first_of("[]") != std::string::npos)
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InvalidArgument, "invalid section name [%s]",
                                       section.c_str());
    std::string stored = value;
    if (!name.empty() && name[0] == 'p' && !TWPassword::encrypt(value, stored))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::FunctionFailed, "cannot protect the value of [%s]",
                                       name.c_str());
    CZuError err = CheckValue(name, stored);
    if (err) return err.Push(FXLOC);
    StateDb* db = nullptr;
    err = StateDb::Get(db);
    if (err) return err.Push(FXLOC);
    err = db->Exec("INSERT INTO settings (client, section, name, value) VALUES (?1, ?2, ?3, ?4) "
                   "ON CONFLICT (client, section, name) DO UPDATE SET value = excluded.value",
                   {client, section, name, stored});
    return err.Push(FXLOC);
}

CZuError TWSettings::Unset(const std::string& section, const std::string& name, const std::string& client,
                           bool& removed) {
    removed = false;
    StateDb* db = nullptr;
    CZuError err = StateDb::Get(db);
    if (err) return err.Push(FXLOC);
    int64_t changes = 0;
    err = db->Exec("DELETE FROM settings WHERE client = ?1 AND section = ?2 AND name = ?3",
                   {client, section, name}, &changes);
    if (err) return err.Push(FXLOC);
    removed = changes > 0;
    return CZuError::Success();
}

CZuError TWSettings::List(std::vector<Entry>& entries) {
    entries.clear();
    StateDb* db = nullptr;
    CZuError err = StateDb::Get(db);
    if (err) return err.Push(FXLOC);
    std::vector<StateDb::Row> rows;
    err = db->Query("SELECT client, section, name, value FROM settings ORDER BY client, section, name", {}, rows);
    if (err) return err.Push(FXLOC);
    for (const auto& row : rows)
        entries.push_back(Entry{row[0].value_or(""), row[1].value_or(""), row[2].value_or(""), row[3].value_or("")});
    return CZuError::Success();
}
