#!/bin/sh
# The demo: a snapshot backup of a local test-kit replica set (and of a
# sharded cluster, when the kit has a router), run through kaxrun as an
# operator would: register the machines and the deployment, load sample
# data, back it up, and show the job and what it wrote to the backup index.
# Everything lives under <build dir>/demo; the servers are stopped at the end.
set -eu
BUILD_DIR=$(cd "${1:-build}" && pwd)
TOOLS="$BUILD_DIR/testkit/bin"
DEMO="$BUILD_DIR/demo"
ROOT="$DEMO/state"
PY=/usr/bin/python3

kax() { "$BUILD_DIR/kaxrun" --root "$ROOT" "$@"; }
step() { printf '\n==> %s\n' "$*"; }
json() { "$PY" -c "import json,sys; d=json.load(open(sys.argv[1])); print($2)" "$1"; }

stop_servers() {
    for d in "$DEMO/replica-set" "$DEMO/sharded"; do
        [ -f "$d/cluster.json" ] && "$TOOLS/mongo-cluster" down --dir "$d" >/dev/null 2>&1 || true
    done
}
stop_servers
trap stop_servers EXIT INT TERM
rm -rf "$DEMO"
mkdir -p "$DEMO"

# Registers a client for every member address listed in the file (one per line).
register_members() {
    sort -u "$1" | while read -r ip; do
        kax client register "node-${ip##*.}" --host "$ip" >/dev/null
        echo "client node-${ip##*.} owns $ip"
    done
}

# Inserts sample orders through host:port and waits for every member to have them.
load_orders() {
    "$PY" - "$1" "$2" <<'PYEOF'
import sys, pymongo
client = pymongo.MongoClient(sys.argv[1], directConnection=True)
orders = [{"_id": i, "item": item, "qty": qty} for i, (item, qty) in
          enumerate([("desk", 2), ("lamp", 5), ("chair", 8), ("shelf", 1)], 1)]
client[sys.argv[2]].orders.insert_many(orders)
print("loaded %d orders into %s.orders" % (len(orders), sys.argv[2]))
PYEOF
}

# Runs a snapshot backup of the application; prints the job, then its index records.
backup() {
    kax run backup --app "$1" -- -t 1 -snap | tee "$DEMO/run.out"
    job=$(sed -n 's/^job \([0-9]*\) started.*/\1/p' "$DEMO/run.out")
    step "The job"
    kax job show "$job"
    step "What the job wrote to the backup index"
    kax index "$job"
}

kax init
kax client register coordinator >/dev/null
kax setting set Kestrix nLogLevel 2 >/dev/null

# Registers the deployment reached at host:port as instance $1 with
# application $2, loads sample orders into database $4, shows the topology
# and backs it up.
protect() {
    kax instance register "$1" --client coordinator --host "${3%:*}" --port "${3##*:}" --bin-path "$TOOLS" --app "$2"
    load_orders "mongodb://$3/?w=majority" "$4"
    step "The deployment as the agent discovers it"
    kax topology "$1"
    step "Snapshot backup of $1"
    backup "$2"
}

step "Starting a replica set of three members (127.0.0.20-22)"
"$TOOLS/mongo-cluster" up --dir "$DEMO/replica-set" --members 3 --ip-base 20 > "$DEMO/replica-set.json"
primary=$(json "$DEMO/replica-set.json" "d['primary']")
json "$DEMO/replica-set.json" "'\n'.join(m['ip'] for m in d['members'])" > "$DEMO/ips"
echo "primary $primary"
register_members "$DEMO/ips"
protect shop-rs 2:1 "$primary" shop

if [ -x "$TOOLS/mongos" ]; then
    step "Starting a sharded cluster: config servers, two shards of three members, a router (127.0.0.30-39)"
    "$TOOLS/mongo-cluster" up --dir "$DEMO/sharded" --shards 2 --members 3 --config-members 3 --ip-base 30 \
        > "$DEMO/sharded.json"
    router=$(json "$DEMO/sharded.json" "d['router']")
    json "$DEMO/sharded.json" \
        "'\n'.join(m['ip'] for s in [d['configServers']] + d['shards'] for m in s['members'])" > "$DEMO/ips"
    echo "router $router"
    register_members "$DEMO/ips"
    protect shop-cluster 2:2 "$router" store
fi

step "Done. State root: $ROOT (logs under $ROOT/logs); the servers are stopped now."
