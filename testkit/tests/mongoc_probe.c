/* Talks to a server with libmongoc, the driver the module links, and prints
 * one relaxed Extended JSON line per step, so the kit's tests can check what
 * that driver sees: the OP_QUERY handshake, SCRAM, OP_MSG commands, CRUD.
 *
 * usage: mongoc_probe URI [command-json ...]
 * Without commands it runs ping, isMaster, an insert/find/update round trip
 * on kit_probe.items, and listDatabases names. Each given command runs on
 * admin with read preference secondaryPreferred, like the module's admin
 * commands. Exit status 0 when every step succeeded. */
#include <mongoc/mongoc.h>
#include <stdio.h>

static void print_doc(const char *step, const bson_t *doc) {
    char *json = bson_as_relaxed_extended_json(doc, NULL);
    printf("%s %s\n", step, json);
    bson_free(json);
}

static int run_admin(mongoc_client_t *client, const char *json) {
    bson_error_t error;
    bson_t *cmd = bson_new_from_json((const uint8_t *)json, -1, &error);
    if (!cmd) {
        printf("error bad json: %s\n", error.message);
        return 1;
    }
    bson_t reply;
    mongoc_read_prefs_t *prefs = mongoc_read_prefs_new(MONGOC_READ_SECONDARY_PREFERRED);
    bool ok = mongoc_client_command_simple(client, "admin", cmd, prefs, &reply, &error);
    if (ok) {
        print_doc("reply", &reply);
    } else {
        printf("error %u %s\n", error.code, error.message);
    }
    bson_destroy(&reply);
    bson_destroy(cmd);
    mongoc_read_prefs_destroy(prefs);
    return ok ? 0 : 1;
}

static int round_trip(mongoc_client_t *client) {
    bson_error_t error;
    mongoc_collection_t *coll = mongoc_client_get_collection(client, "kit_probe", "items");
    bson_t *doc = BCON_NEW("_id", BCON_INT32(1), "name", BCON_UTF8("probe"));
    int failed = 0;
    if (!mongoc_collection_insert_one(coll, doc, NULL, NULL, &error)) {
        printf("error insert %s\n", error.message);
        failed = 1;
    }
    bson_t *filter = BCON_NEW("_id", BCON_INT32(1));
    bson_t *update = BCON_NEW("$set", "{", "name", BCON_UTF8("changed"), "}");
    bson_t reply;
    if (mongoc_collection_update_one(coll, filter, update, NULL, &reply, &error)) {
        print_doc("update", &reply);
    } else {
        printf("error update %s\n", error.message);
        failed = 1;
    }
    bson_destroy(&reply);
    mongoc_cursor_t *cursor = mongoc_collection_find_with_opts(coll, filter, NULL, NULL);
    const bson_t *found;
    while (mongoc_cursor_next(cursor, &found)) {
        print_doc("found", found);
    }
    if (mongoc_cursor_error(cursor, &error)) {
        printf("error find %s\n", error.message);
        failed = 1;
    }
    mongoc_cursor_destroy(cursor);
    char **names = mongoc_client_get_database_names_with_opts(client, NULL, &error);
    if (names) {
        printf("databases");
        for (char **n = names; *n; n++) printf(" %s", *n);
        printf("\n");
        bson_strfreev(names);
    } else {
        printf("error listDatabases %s\n", error.message);
        failed = 1;
    }
    bson_destroy(doc);
    bson_destroy(filter);
    bson_destroy(update);
    mongoc_collection_destroy(coll);
    return failed;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s URI [command-json ...]\n", argv[0]);
        return 2;
    }
    mongoc_init();
    bson_error_t error;
    mongoc_uri_t *uri = mongoc_uri_new_with_error(argv[1], &error);
    if (!uri) {
        printf("error uri %s\n", error.message);
        return 2;
    }
    mongoc_client_t *client = mongoc_client_new_from_uri(uri);
    mongoc_client_set_error_api(client, MONGOC_ERROR_API_VERSION_2);
    int failed = 0;
    if (argc > 2) {
        for (int i = 2; i < argc; i++) failed |= run_admin(client, argv[i]);
    } else {
        failed |= run_admin(client, "{\"ping\": 1}");
        failed |= run_admin(client, "{\"isMaster\": 1}");
        failed |= round_trip(client);
    }
    mongoc_client_destroy(client);
    mongoc_uri_destroy(uri);
    mongoc_cleanup();
    return failed;
}
