#pragma once
// Shared pieces of the oplog backup tests: a MongoDbUtil initialized for
// application 2:15 on the local client (its job results, osc and staging
// directories ready), whose tool runs go to the shell unless a test answers
// them, oplog dump files written and read with libbson, and the job that
// records events.
#include <bson/bson.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "host/Files.h"
#include "host/JobClient.h"
#include "host/Process.h"
#include "platform/JobStore.h"
#include "tests/access/AccessTestSupport.h"

namespace MongoDbKax::testing {

// One oplog entry as a test writes or reads it.
struct OplogEntry {
    uint32_t seconds = 0;
    uint32_t increment = 0;
    std::string ns = "app.docs";
    int64_t id = 0;  // o._id of an insert

    bool operator==(const OplogEntry& other) const {
        return seconds == other.seconds && increment == other.increment && ns == other.ns &&
               id == other.id;
    }
};

// Writes `entries` as a BSON oplog dump; `cutBytes` leaves off the last bytes.
inline void WriteDump(const std::string& path, const std::vector<OplogEntry>& entries,
                      size_t cutBytes = 0) {
    std::string bytes;
    for (const OplogEntry& e : entries) {
        bson_t doc, o;
        bson_init(&doc);
        bson_append_timestamp(&doc, "ts", -1, e.seconds, e.increment);
        bson_append_utf8(&doc, "op", -1, "i", -1);
        bson_append_utf8(&doc, "ns", -1, e.ns.c_str(), -1);
        bson_append_document_begin(&doc, "o", -1, &o);
        bson_append_int64(&o, "_id", -1, e.id);
        bson_append_document_end(&doc, &o);
        bytes.append(reinterpret_cast<const char*>(bson_get_data(&doc)), doc.len);
        bson_destroy(&doc);
    }
    bytes.resize(bytes.size() - std::min(cutBytes, bytes.size()));
    ASSERT_FALSE(FXFile::WriteAll(path, bytes).IsError()) << path;
}

// The entries of a BSON oplog dump (o._id read when it is an integer).
inline std::vector<OplogEntry> ReadDump(const std::string& path) {
    std::vector<OplogEntry> entries;
    bson_error_t error;
    bson_reader_t* reader = bson_reader_new_from_file(path.c_str(), &error);
    EXPECT_NE(reader, nullptr) << path;
    if (!reader) return entries;
    bool eof = false;
    while (const bson_t* doc = bson_reader_read(reader, &eof)) {
        OplogEntry e;
        bson_iter_t it, child;
        if (bson_iter_init_find(&it, doc, "ts"))
            bson_iter_timestamp(&it, &e.seconds, &e.increment);
        if (bson_iter_init_find(&it, doc, "ns")) e.ns = bson_iter_utf8(&it, nullptr);
        if (bson_iter_init_find(&it, doc, "o") && BSON_ITER_HOLDS_DOCUMENT(&it) &&
            bson_iter_recurse(&it, &child) && bson_iter_find(&child, "_id") &&
            (BSON_ITER_HOLDS_INT64(&child) || BSON_ITER_HOLDS_INT32(&child) ||
             BSON_ITER_HOLDS_DOUBLE(&child)))
            e.id = bson_iter_as_int64(&child);
        entries.push_back(e);
    }
    bson_reader_destroy(reader);
    return entries;
}

inline std::string ReadText(const std::string& path) {
    std::string text;
    FXFile::ReadAll(path, text);
    return text;
}

inline void WriteText(const std::string& path, const std::string& text) {
    ASSERT_FALSE(FXFile::WriteAll(path, text).IsError()) << path;
}

inline std::string GoldenFile(const std::string& name) {
    return ReadText(std::string(TEST_SOURCE_DIR) + "/tests/logbackup/golden/" + name);
}

class LogBackupTest : public AccessTest {
protected:
    static constexpr uint32_t kMarlexId = 2;
    static constexpr uint32_t kAppId = 15;

    void SetUp() override {
        AccessTest::SetUp();
        // Tool runs go to the shell unless a test answers them itself.
        util.respond = [](const std::string& command, std::string& output) {
            std::string errorOutput;
            const int rc = TwProcess::system(command, output, errorOutput, 0, false);
            output += errorOutput;
            return rc;
        };
        ASSERT_EQ(InitializeFor(util, "127.0.0.1", 27017), 0);
    }

    // Registers the instance (the local client is node1) and initializes
    // `target` for application 2:15 against it.
    int InitializeFor(MongoDbUtil& target, const std::string& host, int port) {
        MongoDBInstance instance;
        instance.hostName = host;
        instance.port = port;
        instance.binPath = TEST_KIT_BIN;
        RegisterInstance(instance, kMarlexId, kAppId);
        static_cast<MongoDbUtil&>(target) = MongoDbUtil(kAppId, kMarlexId);
        return target.Initialize();
    }

    std::string Osc(const std::string& name = "") const {
        return FXPath::Join(util.GetOscDir(), name);
    }
    std::string StagingLocal(const std::string& name = "") const {
        return FXPath::Join(FXPath::Join(util.GetStagingDir(), "local"), name);
    }
    std::string AppResults(const std::string& name = "") const {
        return FXPath::Join(util.GetAppResultsDir(), name);
    }

    // A cycle on this node: LAST_FULL_JOB and one timestamp file per record.
    void StartCycle(int64_t fullJobId, const std::vector<MongoDbOplogTimeStampInfo_t>& records) {
        for (const auto& record : records) {
            MongoDbOplogTimeStampInfo_t r = record;
            r.fullJobId = fullJobId;
            ASSERT_EQ(util.SaveOplogLastEntryTSInFile(r, true), 0);
        }
    }

    static MongoDbOplogTimeStampInfo_t Record(const std::string& replicaSet, const std::string& host,
                                              uint32_t port, uint64_t timestamp,
                                              int64_t fullJobId = 0) {
        MongoDbOplogTimeStampInfo_t r;
        r.replicaSetName = replicaSet;
        r.host = host;
        r.port = port;
        r.timestamp = timestamp;
        r.fullJobId = fullJobId;
        return r;
    }

    // The records of the current cycle (failing the test when they cannot be read).
    std::vector<MongoDbOplogTimeStampInfo_t> Records() {
        std::vector<MongoDbOplogTimeStampInfo_t> records;
        bool reset = false;
        EXPECT_EQ(util.GetOplogLastEntryTSFromFile(records, reset), 0);
        return records;
    }

    // A job that events of this process are recorded on.
    int64_t StartJob() {
        JobRecord job;
        job.type = "backup";
        job.client = "node1";
        EXPECT_FALSE(JobStore::CreateJob(job).IsError());
        EvEvent::setJobId(job.id);
        return job.id;
    }

    static std::vector<JobEventRecord> Events(int64_t jobId) {
        std::vector<JobEventRecord> events;
        EXPECT_FALSE(JobStore::ListEvents(jobId, events).IsError());
        return events;
    }

    void TearDown() override {
        EvEvent::setJobId(0);
        // The module's own account of a failure, before the state root goes.
        if (HasFailure()) {
            const std::string log = ReadLog();
            std::cout << "---- end of the module log ----\n"
                      << log.substr(log.size() > 6000 ? log.size() - 6000 : 0) << "\n";
        }
    }

    ScriptedUtil util;
};

}  // namespace MongoDbKax::testing
