#pragma once
// One dump pass of MongoDbUtil::PerformOpLogDumps: for each replica set of
// the current cycle, check that its node is still a secondary, lock its
// writes, make sure the oplog still holds everything after the recorded
// point, dump from that point, list the dump and record the last entry the
// dump holds as the next point.
#include <string>
#include <utility>
#include <vector>

#include "access/MongoDbUtil.h"

namespace MongoDbKax {

class OplogDumpPass {
public:
    // PerformOpLogDumps' results.
    static constexpr int Done = 0;
    static constexpr int Failed = 1;
    static constexpr int PrimaryFound = 2;
    static constexpr int RolledOver = 3;

    // suppressRolloverEvent also keeps the timestamp file of a node found
    // primary (the node check of the utility process must change nothing).
    OplogDumpPass(MongoDbUtil& util, bool suppressRolloverEvent);

    // One of the results above; every node this pass locked is unlocked.
    int Run();

private:
    // false stops the pass (the reason is noted in the flags).
    bool DumpReplicaSet(const MongoDbOplogTimeStampInfo_t& record);
    void EndCycleOfPrimary(const MongoDbOplogTimeStampInfo_t& record);
    bool Lock(const std::string& host, int port);
    bool Unlock(const std::string& host, int port);

    MongoDbUtil& m_util;
    const bool m_suppressRolloverEvent;
    bool m_primaryFound = false;
    bool m_rolledOver = false;
    // Nodes this pass holds locked: only these are released after a failure,
    // so that a lock someone else holds on the same node stays.
    std::vector<std::pair<std::string, int>> m_locked;
};

}  // namespace MongoDbKax
