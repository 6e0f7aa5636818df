#pragma once
// Choosing the secondary of a replica set that a snapshot backup protects.
// Pure functions over the candidate list that MongoDbUtil keeps for a run, so
// that every rule can be exercised without a server.
//
// The candidate list holds the candidates of every replica set examined in
// the run; each function looks only at the entries of the named replica set
// (names compared without regard to case) and answers with an index into the
// whole list, or -1 when it finds nothing.
#include <functional>
#include <string>
#include <vector>

#include "access/MongoDbUtil.h"
#include "topology/MongoDBServer.h"
#include "topology/MongoDbSecondaryInfo.h"

namespace MongoDbKax::SecondarySelection {

// Read from section Kestrix for snapshot backups; the first rule that is on
// decides (least lag, then delayed lag, then lowest priority). All off: the
// first secondary in status order.
struct Settings {
    bool useLowestPriorityNode = true;  // bMongoDBUseLowestPriorityNode
    bool useLeastLagNode = false;       // bMongoDBUseLeastLagNode
    bool useDelayedLagNode = false;     // bMongoDBUseDelayedLagNode
};

// How a member's host text is tied to the backup client that owns it: the
// client's network host name, or "" when no client is known.
using ClientHostLookup = std::function<std::string(const std::string& mongoHost)>;
// Whether the client of that name may only be restored to (never backed up).
using RestoreOnlyTest = std::function<bool(const std::string& clientHost)>;

// Appends the secondaries of one replica set, matched between the "members"
// of replSetGetStatus and the "config"."members" of replSetGetConfig by
// "_id", then sets the lag of every candidate of that replica set.
// 0 on success; -1 when either array is empty or when no primary or no
// usable secondary was seen (candidates appended before stay in the list).
int GatherCandidates(const std::string& replicaSetName, const JsonObject& statusMembers,
                     const JsonObject& configMembers, const ClientHostLookup& clientHost,
                     const RestoreOnlyTest& isRestoreOnly,
                     std::vector<MongoDbSecondaryInfo_t>& candidates);

// The user's choice: the last candidate (in list order) whose host (without
// regard to case) and port match a chosen server.
int ByUser(const std::vector<MongoDbSecondaryInfo_t>& candidates, const std::string& replicaSetName,
           const std::vector<App::MongoDBServer>& userChoice);
// Smallest lag; ties keep the earlier candidate.
int LeastLag(const std::vector<MongoDbSecondaryInfo_t>& candidates,
             const std::string& replicaSetName);
// First hidden candidate with priority 0 and a delay of at least one second.
int DelayedLag(const std::vector<MongoDbSecondaryInfo_t>& candidates,
               const std::string& replicaSetName);
// Smallest priority; ties keep the earlier candidate.
int LowestPriority(const std::vector<MongoDbSecondaryInfo_t>& candidates,
                   const std::string& replicaSetName);
// The first candidate of the replica set.
int First(const std::vector<MongoDbSecondaryInfo_t>& candidates, const std::string& replicaSetName);

// Applies the user's choice when given, else the first rule the settings
// switch on, else First. A rule that finds nothing gives -1; no other rule is
// tried then.
int Choose(const std::vector<MongoDbSecondaryInfo_t>& candidates, const std::string& replicaSetName,
           const std::vector<App::MongoDBServer>& userChoice, const Settings& settings);

}  // namespace MongoDbKax::SecondarySelection
