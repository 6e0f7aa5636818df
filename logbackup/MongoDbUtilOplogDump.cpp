// MongoDbUtil: the oplog dump engine (one pass, the secondary check, the
// rollover check, the dump and its file name).
#include <nlohmann/json.hpp>

#include "access/MongoDbConnection.h"
#include "access/MongoDbUtil.h"
#include "access/ShellQuoting.h"
#include "host/Files.h"
#include "host/JobClient.h"
#include "host/LogWriter.h"
#include "logbackup/OplogDumpPass.h"
#include "logbackup/OplogStoreFormat.h"

namespace MongoDbKax {
namespace {

constexpr uint32_t kOplogRolloverEvent = 0x07000118;

}  // namespace

int MongoDbUtil::PerformOpLogDumps(bool suppressRolloverEvent) {
    return OplogDumpPass(*this, suppressRolloverEvent).Run();
}

int MongoDbUtil::CheckForSecondaryRole(const std::string& host, int port) {
    std::string text;
    if (_RunMongoAdminCmd(host, port, "{\"isMaster\" : 1}", true, text) != 0) return -1;
    const JsonObject reply = JsonObject::parse(text, nullptr, false);
    // Only a real answer can end a cycle: a reply that is no answer to the
    // question counts as no answer at all.
    if (!reply.is_object() || GetDoubleValue(reply, "ok") != 1.0) {
        ZULOG_ERROR("Unexpected reply of mongod at [%s:%d] to isMaster [%s]", host.c_str(), port,
                    text.c_str());
        return -1;
    }
    if (GetBoolean(reply, "secondary")) return 0;
    ZULOG_ERROR("mongod at [%s:%d] is NOT secondary", host.c_str(), port);
    return 1;
}

CZuError MongoDbUtil::GetFirstTimestampFromOplogCollection(const std::string& host, int port,
                                                           uint64_t& first) {
    if (m_connection->Connect(host, port, m_dbUser, m_dbPassword))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InternalFailure,
                                       "Failed to connect to mongodb host:[%s] port: [%d]",
                                       host.c_str(), port);
    std::vector<std::string> documents;
    if (m_connection->getDocumentsFromCollection("local", "oplog.rs", documents, "{}",
                                                 R"({"sort": {"$natural": 1}, "limit": 1})"))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InternalFailure,
                                       "Failed to get document from oplog.rs collection");
    if (documents.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InternalFailure,
                                       "No documents were retrieved from oplog.rs collection");
    const JsonObject entry = JsonObject::parse(documents.front(), nullptr, false);
    const JsonObject timestamp =
        entry.is_object() ? GetObjectValue(GetObjectValue(entry, "ts"), "$timestamp") : JsonObject();
    if (!GetUInt64ValueV2(timestamp, "t", first))
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InternalFailure,
                                       "Failed to find the timestamp value from [%s]",
                                       documents.front().c_str());
    ZULOG(2, "Found first timestamp value from oplog.rs collection as [%ld]", long(first));
    return {};
}

CZuError MongoDbUtil::HasOplogRolledOver(const MongoDbOplogTimeStampInfo_t& record,
                                         const bool& suppressEvent, bool& rolledOver) {
    rolledOver = false;
    // A dump of the whole oplog has no point after which entries could be missing.
    if (record.timestamp == 0) {
        ZULOG_NORMAL("No oplog rollover detected");
        return {};
    }
    const std::string host = record.host.empty() ? m_mongoHost : record.host;
    uint64_t first = 0;
    CZuError err = GetFirstTimestampFromOplogCollection(host, int(record.port), first);
    if (err || first == 0) {
        ZULOG_ERROR("Error while getting first oplog timestamp");
        if (err) ZULOG_ERROR("%s", err.AsString().c_str());
        return FXErrorUtil::ErrorWin32(FXLOC, ZuCode::InternalFailure,
                                       "Error while getting first oplog timestamp");
    }
    if (first < record.timestamp) {
        ZULOG_NORMAL("No oplog rollover detected");
        return {};
    }
    ZULOG_ERROR("Detected oplog rollover on [%s:%u]", host.c_str(), record.port);
    rolledOver = true;
    if (!suppressEvent) {
        if (CZuError eventErr = EvEvent::MajorEvent(
                kOplogRolloverEvent, {FXString::Format("%s:%u", host.c_str(), record.port)}))
            ZULOG_ERROR("Failed to raise the oplog rollover event: %s",
                        eventErr.AsString().c_str());
    }
    return {};
}

int MongoDbUtil::RunMongoDBDump(const MongoDbDumpInputs_t& inputs) {
    std::string cmd = FXString::Format(
        "mongodump --port %u --host %s --db %s --collection %s --out %s ", inputs.port,
        ShellWord(inputs.host).c_str(), ShellWord(inputs.database).c_str(),
        ShellWord(inputs.collection).c_str(), QuoteForShell(inputs.outDir).c_str());
    if (inputs.fromTimestamp != 0) {
        const std::string query = FXString::Format(
            " --query '{\"ts\":{\"$gt\":{\"$timestamp\": {\"t\": %lu, \"i\": 1}}},\"ns\":{\"$nin\":"
            "[\"config.system.sessions\",\"config.transactions\","
            "\"config.transaction_coordinators\"]}}'",
            (unsigned long)inputs.fromTimestamp);
        ZULOG(2, "mongod query timestamp  [%s]", query.c_str());
        cmd += query;
    }
    // A dump left by an earlier run must never pass for this run's output.
    const std::string fresh = FXPath::Join(FXPath::Join(inputs.outDir, inputs.database),
                                           OplogStoreFormat::kFreshDumpName);
    FXFile::Delete(fresh);

    ZULOG_NORMAL("mongod dump command [%s]", cmd.c_str());
    std::string output;
    const int rc = RunMongoCmd(cmd, MongoCmdOutput::Text, output);
    // A quiet tool leaves no output, which the runner reports as -1.
    const bool ran = rc == 0 || (rc == -1 && output.empty());
    if (!ran || !FXFile::Exists(fresh)) {
        ZULOG_ERROR("Failed to create oplog dump [%s]", output.c_str());
        return 1;
    }
    return 0;
}

int MongoDbUtil::RenameOplogDumpFile(const MongoDbDumpInputs_t& inputs, std::string& newPath) {
    const std::string dir = FXPath::Join(inputs.outDir, inputs.database);
    const std::string fresh = FXPath::Join(dir, OplogStoreFormat::kFreshDumpName);
    newPath = FXPath::Join(
        dir, OplogStoreFormat::DumpFileName(inputs.replicaSetName, inputs.fromTimestamp));
    if (CZuError err = FXFile::Move(fresh, newPath)) {
        ZULOG_ERROR("Failed to rename file [%s] to [%s] error - [%s]", fresh.c_str(),
                    newPath.c_str(), err.AsString().c_str());
        return 1;
    }
    return 0;
}

}  // namespace MongoDbKax
