// MongoDbUtil: readers of parsed replies, the local server version and the
// connectivity probe.
#include <climits>
#include <cstdlib>

#include <boost/algorithm/string.hpp>
#include <nlohmann/json.hpp>

#include "access/MongoDbConnection.h"
#include "access/MongoDbUtil.h"
#include "access/MongoShellJson.h"
#include "access/ShellQuoting.h"
#include "host/Files.h"
#include "host/LogWriter.h"

namespace MongoDbKax {

namespace {

// The value under `key`, or null when the key is missing, null, or `obj` is
// not an object.
template <typename Json>
const Json* Find(const Json& obj, const std::string& key) {
    if (!obj.is_object())
        return nullptr;
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null())
        return nullptr;
    return &*it;
}

}  // namespace

std::string MongoDbUtil::GetStringValue(const JsonObject& obj, const std::string& key) {
    const JsonObject* value = Find(obj, key);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

// A 64-bit value outside the 32-bit range counts as mistyped rather than
// being cut down to a wrong number.
int MongoDbUtil::GetIntValue(const JsonObject& obj, const std::string& key) {
    const JsonObject* value = Find(obj, key);
    if (!value || !value->is_number_integer())
        return 0;
    if (value->is_number_unsigned()) {
        const uint64_t number = value->get<uint64_t>();
        return number <= uint64_t(INT_MAX) ? int(number) : 0;
    }
    const int64_t number = value->get<int64_t>();
    return number >= INT_MIN && number <= INT_MAX ? int(number) : 0;
}

bool MongoDbUtil::GetBoolean(const JsonObject& obj, const std::string& key) {
    const JsonObject* value = Find(obj, key);
    return value && value->is_boolean() && value->get<bool>();
}

uint64_t MongoDbUtil::GetUInt64Value(const JsonObject& obj, const std::string& key) {
    const JsonObject* value = Find(obj, key);
    return value && value->is_number_unsigned() ? value->get<uint64_t>() : 0;
}

double MongoDbUtil::GetDoubleValue(const JsonObject& obj, const std::string& key) {
    const JsonObject* value = Find(obj, key);
    return value && value->is_number() ? value->get<double>() : 0.0;
}

JsonObject MongoDbUtil::GetObjectValue(const JsonObject& obj, const std::string& key) {
    const JsonObject* value = Find(obj, key);
    return value && value->is_object() ? *value : JsonObject::object();
}

JsonObject MongoDbUtil::GetArrayValue(const JsonObject& obj, const std::string& key) {
    const JsonObject* value = Find(obj, key);
    return value && value->is_array() ? *value : JsonObject::array();
}

bool MongoDbUtil::GetUInt64ValueV2(const JsonObject& obj, const std::string& key,
                                   uint64_t& value) {
    const JsonObject* found = Find(obj, key);
    if (!found || !found->is_number_unsigned()) {
        ZULOG_ERROR("Cannot find value for key [%s]", key.c_str());
        return false;
    }
    value = found->get<uint64_t>();
    return true;
}

bool MongoDbUtil::GetObjectValueV(const JsonVObject& obj, const std::string& key,
                                  JsonVObject& out) {
    const JsonVObject* found = Find(obj, key);
    if (!found || !found->is_object())
        return false;
    out = *found;
    return true;
}

bool MongoDbUtil::GetBooleanValueV(const JsonVObject& obj, const std::string& key, bool& out) {
    const JsonVObject* found = Find(obj, key);
    if (!found || !found->is_boolean())
        return false;
    out = found->get<bool>();
    return true;
}

int MongoDbUtil::GetMongoDBServerVersion() {
    std::string output;
    const int rc = RunMongoCmd("mongod --version", MongoCmdOutput::Raw, output);
    if (rc == 127) {
        ZULOG_ERROR("mongod binary is not found, returning error. Please check to see that correct "
                    "bin path has been provided in GUI");
        return 127;
    }
    if (rc != 0)
        return -1;

    std::vector<std::string> lines;
    boost::algorithm::split(lines, output, boost::algorithm::is_any_of("\n"));
    const std::string marker = "db version";
    for (const std::string& line : lines) {
        const size_t at = line.find(marker);
        if (at != std::string::npos)
            m_serverVersion = boost::algorithm::trim_copy_if(line.substr(at + marker.size()),
                                                             boost::algorithm::is_any_of("\n\t\r "));
    }
    // Newer servers print a build-information document, which the runner has
    // already cut to its first "{".
    if (m_serverVersion.empty()) {
        const JsonObject buildInfo = JsonObject::parse(output, nullptr, false);
        m_serverVersion = GetStringValue(buildInfo, "version");
    }
    if (m_serverVersion.empty())
        return -1;
    ZULOG(0, "Found MongoDB server version [%s]", m_serverVersion.c_str());
    return 0;
}

bool MongoDbUtil::IsMongodVersion42OrAbove() {
    if (m_serverVersion.empty())
        GetMongoDBServerVersion();
    if (m_serverVersion.empty()) {
        ZULOG_ERROR("Failed to get mongod server version for 4.4 check");
        return false;
    }
    std::string version = m_serverVersion;
    if (version[0] == 'v' || version[0] == 'V')
        version.erase(0, 1);
    const std::vector<std::string> parts = FXString::SplitArguments(version, ".", 1);
    if (parts.empty()) {
        ZULOG_ERROR("Failed to determine major and minor versions from version string: [%s]",
                    m_serverVersion.c_str());
        return false;
    }
    const long major = std::strtol(parts[0].c_str(), nullptr, 10);
    const long minor = parts.size() > 1 ? std::strtol(parts[1].c_str(), nullptr, 10) : 0;
    if ((major == 4 && minor > 1) || major > 4) {
        ZULOG(2, "Found mongod version 4.2+");
        return true;
    }
    return false;
}

bool MongoDbUtil::isMongodVersion32() {
    if (m_serverVersion.empty())
        GetMongoDBServerVersion();
    if (m_serverVersion.empty()) {
        ZULOG_ERROR("Failed to get mongod server version for 3.2 check");
        return false;
    }
    if (boost::algorithm::istarts_with(m_serverVersion, "v3.2")) {
        ZULOG(2, "Found version 3.2");
        return true;
    }
    return false;
}

int MongoDbUtil::_RunMongoAdminCmd(const std::string& host, int port,
                                   const std::string& jsonCommand, bool /*slaveOk*/,
                                   std::string& reply) {
    if (m_connection->Connect(host, port, m_dbUser, m_dbPassword)) {
        ZULOG_ERROR("Failed to connect to mongodb host:[%s] port:%d", host.c_str(), port);
        ZULOG_ERROR("Error: [%s]", m_connection->GetLastErrorMsg());
        return -1;
    }
    if (m_connection->RunAdminCommand(jsonCommand, true, reply)) {
        ZULOG_ERROR("Failed to execute command [%s]", jsonCommand.c_str());
        ZULOG_ERROR("Error: [%s]", m_connection->GetLastErrorMsg());
        return -1;
    }
    return 0;
}

int MongoDbUtil::CheckMongoConnectivity(const std::string& host, unsigned port, bool useShell) {
    JsonObject reply;
    if (useShell) {
        const std::string cmd = FXString::Format(
            "mongo --port %u --host %s --eval \"db.runCommand({ ping:1 })\"", port,
            ShellWord(host).c_str());
        std::string output;
        if (RunMongoCmd(cmd, MongoCmdOutput::Reply, output, true, false) != 0) {
            if (isAuthenticationError(output)) {
                ZULOG_ERROR("ping failed with authentiocation error");
                return 1;
            }
            ZULOG_ERROR("Failed to run ping command to check connectivity");
            return -1;
        }
        // A replica-set member's reply carries Timestamp(...) and BinData(...)
        // forms that plain JSON cannot read.
        if (!ParseShellJson(output, reply))
            return -1;
    } else {
        std::string text;
        if (_RunMongoAdminCmd(host, int(port), "{\"ping\" : 1}", true, text) != 0)
            return -1;
        reply = JsonObject::parse(text, nullptr, false);
    }
    return GetDoubleValue(reply, "ok") == 1.0 ? 0 : -1;
}

}  // namespace MongoDbKax
