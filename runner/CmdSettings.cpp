// kaxrun setting ...
#include <cstdio>

#include "host/Entities.h"
#include "platform/Settings.h"
#include "runner/Commands.h"
#include "runner/ErrorText.h"
#include "runner/Prompt.h"
#include "runner/Table.h"

namespace Cli {

namespace {

// A --client must name a registered client; "" is the whole machine.
CZuError CheckClient(const std::string& client) {
    if (client.empty()) return {};
    TWClient found;
    CZuError err = TWClient::ByName(client, found);
    return err.Push(FXLOC, "client [%s] is not registered", client.c_str());
}

std::string Scope(const std::string& client) { return client.empty() ? "every client" : "client " + client; }

}  // namespace

int SettingSet(const CommandLine& line) {
    const auto& words = line.Positionals();
    std::string client = line.Get("client"), section = words[0], name = words[1], value;
    if (CZuError err = CheckClient(client)) return Fail(ErrorText(err));
    bool password = !name.empty() && name[0] == 'p';
    if (password) {
        if (words.size() > 2)
            return Fail("setting set: " + name + " is a password setting; leave out the value and type it when asked");
        if (CZuError err = ReadSecret("Value of " + name + ": ", value)) return Fail(ErrorText(err));
    } else {
        if (words.size() < 3) return Fail("setting set: missing the value of " + name);
        value = words[2];
    }
    CZuError err = TWSettings::Set(section, name, value, client);
    value.assign(value.size(), '\0');
    if (err) return Fail(ErrorText(err));
    std::printf("Set %s %s for %s\n", section.c_str(), name.c_str(), Scope(client).c_str());
    return kOk;
}

int SettingUnset(const CommandLine& line) {
    const auto& words = line.Positionals();
    std::string client = line.Get("client");
    bool removed = false;
    if (CZuError err = TWSettings::Unset(words[0], words[1], client, removed)) return Fail(ErrorText(err));
    if (!removed) return Fail(words[0] + " " + words[1] + " is not set for " + Scope(client));
    std::printf("Removed %s %s for %s\n", words[0].c_str(), words[1].c_str(), Scope(client).c_str());
    return kOk;
}

int SettingList(const CommandLine&) {
    std::vector<TWSettings::Entry> entries;
    if (CZuError err = TWSettings::List(entries)) return Fail(ErrorText(err));
    if (entries.empty()) {
        std::printf("No settings are stored; every setting has its default\n");
        return kOk;
    }
    TextTable table({"Client", "Section", "Name", "Value"});
    for (const auto& e : entries)
        table.AddRow({e.client.empty() ? "(all)" : e.client, e.section, e.name,
                      !e.name.empty() && e.name[0] == 'p' ? "(protected)" : e.value});
    std::printf("%s", table.Render().c_str());
    return kOk;
}

}  // namespace Cli
