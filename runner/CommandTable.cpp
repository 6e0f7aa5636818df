#include <cstdio>
#include <ctime>

#include "runner/Commands.h"

namespace Cli {

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        {"init", "init", "Create a state root",
         "Creates the state root (the directory named by --root) with its database and\n"
         "directories, readable by its owner only. Running it on an existing state root\n"
         "changes nothing.",
         {{}, {}, 0, 0, false}, Init, false},
        {"client register", "client register NAME [--host ADDRESS] [--ip ADDRESS]...",
         "Register a client (a machine identity) or change one",
         "Each client acts as a machine of its own on this host: it gets an id, a network\n"
         "host name that is a loopback address of its own, and its own directories under\n"
         "clients/NAME in the state root.\n"
         "  --host ADDRESS   network host name (default: the next free 127.0.10.x;\n"
         "                   kept when the client is registered again)\n"
         "  --ip ADDRESS     an address the client is reachable at (repeatable;\n"
         "                   default: the host address)",
         {{"host", "ip"}, {}, 1, 1, false}, ClientRegister},
        {"client list", "client list", "List the registered clients", "Shows id, name, host and addresses.",
         {{}, {}, 0, 0, false}, ClientList},
        {"instance register",
         "instance register NAME --client CLIENT [--port PORT] [--host HOST] [--user USER]\n"
         "                  [--bin-path DIR] [--os-user USER] [--app MARLEX:APP]...\n"
         "                  [--data-access HOST:PORT]...",
         "Register a MongoDB instance and its console configuration",
         "Registers (or replaces) a MongoDB deployment reached at its master node.\n"
         "  --client CLIENT     the client of the master node; jobs of the instance run there\n"
         "  --port PORT         the master node's port (default 27017)\n"
         "  --host HOST         the master node's host (default: the client's host)\n"
         "  --user USER         the database user; its password is asked for without echo\n"
         "                      (read from standard input when that is not a terminal)\n"
         "                      and stored encrypted\n"
         "  --bin-path DIR      directory of the MongoDB tools on the nodes\n"
         "  --os-user USER      the operating-system user that owns the servers\n"
         "  --app MARLEX:APP    an application (subclient) of the instance (repeatable)\n"
         "  --data-access H:P   a member chosen to back its replica set up from (repeatable)",
         {{"client", "port", "host", "user", "bin-path", "os-user", "app", "data-access"}, {}, 1, 1, false},
         InstanceRegister},
        {"instance list", "instance list", "List the registered MongoDB instances",
         "Shows each instance with its master node, user, applications and data access\n"
         "nodes. Passwords are never shown.",
         {{}, {}, 0, 0, false}, InstanceList},
        {"topology", "topology INSTANCE", "Show the deployment of a registered instance",
         "Discovers the instance from its master node, as the console browses it, and\n"
         "shows one row per process: replica set, role, state, member, health, data path,\n"
         "bound addresses, journal and owning client. Nothing is saved.",
         {{}, {}, 1, 1, false}, Topology},
        {"setting set", "setting set [--client CLIENT] SECTION NAME [VALUE]", "Set an additional setting",
         "Stores a setting for the whole machine, or for one client with --client.\n"
         "Names carry their type: b boolean, n number, s string, p password. A p setting\n"
         "takes no VALUE on the command line: it is asked for without echo and stored\n"
         "encrypted. Example: kaxrun setting set Kestrix bEnableMongoOpLogDumps false",
         {{"client"}, {}, 2, 3, false}, SettingSet},
        {"setting unset", "setting unset [--client CLIENT] SECTION NAME", "Remove an additional setting",
         "Removes a stored setting; the default applies again.", {{"client"}, {}, 2, 2, false}, SettingUnset},
        {"setting list", "setting list", "List the stored additional settings",
         "Shows every stored setting; password settings show as (protected).", {{}, {}, 0, 0, false},
         SettingList},
        {"run", "run PHASE [--job JOB] [--client CLIENT] [--app MARLEX:APP] [--module FILE]\n"
                "    [--options FILE] [-- ARGUMENT...]",
         "Run a job phase (and the phases that follow it)",
         "Runs phase PHASE (backup, restore, postop, ...) of a new job, or of job JOB,\n"
         "on the coordinating client, with a node process for every node the phase uses.\n"
         "Arguments after \"--\" go to the phase (for example: -- -log -t 2).\n"
         "  --client CLIENT    the coordinating client (default: the master node client of\n"
         "                     the application's instance)\n"
         "  --app MARLEX:APP   the application the job protects\n"
         "  --module FILE      the agent module (default: KAX_MODULE, else\n"
         "                     libmongodbagent.so next to kaxrun)\n"
         "  --options FILE     the job's options message (XML), e.g. of a restore\n"
         "The exit status is 0 when the job completed (also with errors), 1 when it failed.",
         {{"job", "client", "app", "module", "options"}, {}, 1, 1, true}, Run},
        {"jobs", "jobs", "List the jobs", "Shows every job, newest first.", {{}, {}, 0, 0, false}, Jobs},
        {"job show", "job show JOB", "Show one job: phases, pending causes and events",
         "Shows the job, its phases with their statuses, its pending causes, its misc\n"
         "options and its events.",
         {{}, {}, 1, 1, false}, JobShow},
        {"index", "index JOB [--view VIEW]", "Show what a job wrote to the backup index",
         "Shows the job's index entries by view: the shard records (SHARDView) and the\n"
         "database tree (DBView) of a MongoDB snapshot backup with their values, and the\n"
         "number of files in the file view (default).\n"
         "  --view VIEW   only that view; \"default\" lists every file",
         {{"view"}, {}, 1, 1, false}, Index},
    };
    return commands;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "kaxrun: %s\n", message.c_str());
    return kFailed;
}

std::string FormatTime(int64_t seconds) {
    if (seconds <= 0) return "-";
    time_t t = time_t(seconds);
    tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace Cli
