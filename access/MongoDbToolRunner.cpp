// MongoDbUtil: running the MongoDB command-line tools.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <boost/algorithm/string.hpp>

#include "access/MongoDbConnection.h"
#include "access/MongoDbUtil.h"
#include "access/ShellQuoting.h"
#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/Process.h"

namespace MongoDbKax {

namespace {

constexpr const char* kPasswordPrompt = "Enter password:";

// Tools that talk to a server as a client and so take credentials and TLS options.
bool IsClientTool(const std::string& word) {
    return word == "mongo" || word == "mongodump" || word == "mongorestore";
}

void TrimOutput(std::string& text) {
    boost::algorithm::trim_if(text, boost::algorithm::is_any_of(" \n\r"));
    boost::algorithm::trim(text);
}

// "EOF" unless the password holds a line "EOF"; such a line would end the
// here-document early and hand the rest of the password to the shell.
std::string HereDocumentDelimiter(const std::string& password) {
    std::vector<std::string> lines;
    boost::algorithm::split(lines, password, boost::algorithm::is_any_of("\n"));
    std::string delimiter = "EOF";
    for (int n = 1; std::find(lines.begin(), lines.end(), delimiter) != lines.end(); ++n)
        delimiter = "EOF" + std::to_string(n);
    return delimiter;
}

}  // namespace

std::string MongoDbUtil::FirstWord(const std::string& cmd) {
    const std::string trimmed = boost::algorithm::trim_copy(cmd);
    return trimmed.substr(0, trimmed.find(' '));
}

bool MongoDbUtil::IsUseAuthentication(const std::string& cmd) {
    if (m_suppressAuthAndTls) {
        ZULOG(2, "Authentication is disabled");
        return false;
    }
    if (!IsClientTool(FirstWord(cmd)) || m_dbUser.empty())
        return false;
    ZULOG(2, "Use authentication user [%s] with command [%s]", m_dbUser.c_str(), cmd.c_str());
    return true;
}

bool MongoDbUtil::IsUseSslEncryption(const std::string& cmd, std::string& tool) {
    if (m_suppressAuthAndTls) {
        ZULOG(2, "Ignoring TLS/SSL params");
        return false;
    }
    const std::string word = FirstWord(cmd);
    if (!IsClientTool(word))
        return false;
    ZULOG(2, "Use ssl with command [%s]", cmd.c_str());
    tool = word;
    return true;
}

int MongoDbUtil::AddSSlTLSArguments(std::string& command, const bool& tlsNames,
                                    bool& holdsSecret) {
    std::string caFile;
    if (!m_connection->getSslCAFile(caFile)) {
        ZULOG_ERROR("CA File path is empty. CA File path is mandatory when SSL is enabled.");
        return -1;
    }
    command += tlsNames ? " --tls --tlsCAFile " : " --ssl --sslCAFile ";
    command += QuoteForShell(caFile);
    std::string pemKeyFile;
    if (m_connection->getSslPEMKeyFile(pemKeyFile)) {
        command += tlsNames ? " --tlsCertificateKeyFile " : " --sslPEMKeyFile ";
        command += QuoteForShell(pemKeyFile);
    }
    std::string pemKeyPassword;
    if (m_connection->getSslPEMKeyPassword(pemKeyPassword)) {
        holdsSecret = true;
        command += tlsNames ? " --tlsCertificateKeyFilePassword " : " --sslPEMKeyPassword ";
        command += QuoteForShell(pemKeyPassword);
    }
    return 0;
}

int MongoDbUtil::PrependMongoBinPath(const std::string& cmd, std::string& fullCommand) {
    const size_t start = cmd.find_first_not_of(" \t");
    const std::string line = start == std::string::npos ? std::string() : cmd.substr(start);
    const size_t blank = line.find(' ');
    if (blank == std::string::npos) {
        fullCommand = QuoteForShell(m_binPath + "/" + line);
    } else {
        fullCommand = QuoteForShell(m_binPath + "/" + line.substr(0, blank)) + line.substr(blank);
    }
    return 0;
}

void MongoDbUtil::AppendCredentials(std::string& command) const {
    const std::string delimiter = HereDocumentDelimiter(m_dbPassword);
    command += " -u " + ShellWord(m_dbUser) + " --authenticationDatabase admin -p \"\" <<'" +
               delimiter + "'\n" + m_dbPassword + "\n" + delimiter + "\n";
}

int MongoDbUtil::ExecCmd(const std::string& command, std::string& output,
                         std::string& errorOutput, bool commandHoldsSecret) {
    return TwProcess::system(command, output, errorOutput, 0, commandHoldsSecret);
}

void MongoDbUtil::CleanToolOutput(std::string& output, int outputKind) {
    TrimOutput(output);
    const size_t prompt = output.find(kPasswordPrompt);
    if (prompt != std::string::npos) {
        output.erase(0, prompt);
        const size_t markerLength = std::strlen(kPasswordPrompt);
        if (output.size() > markerLength)
            output.erase(0, markerLength);
    }
    const size_t brace = output.find('{');
    if (brace != std::string::npos)
        output.erase(0, brace);
    if (outputKind == MongoCmdOutput::Reply) {
        const size_t ok = output.find("\"ok\"");
        if (ok != std::string::npos) {
            const size_t open = output.rfind('{', ok);
            if (open != std::string::npos)
                output.erase(0, open);
        }
    }
    TrimOutput(output);
}

int MongoDbUtil::RunMongoCmd(const std::string& cmd, int outputKind, std::string& output,
                             bool skipAuth, bool skipTls) {
    output.clear();
    ZULOG(2, "Running cmd [%s]", cmd.c_str());
    const bool useAuth = IsUseAuthentication(cmd) && !skipAuth;
    std::string full;
    PrependMongoBinPath(cmd, full);

    bool holdsSecret = false;
    std::string tool;
    if (m_connection->isSslEnabled() && !skipTls && IsUseSslEncryption(cmd, tool)) {
        // mongodump and mongorestore keep the older option names.
        const bool tlsNames = IsMongodVersion42OrAbove() && strcasecmp(tool.c_str(), "mongo") == 0;
        if (AddSSlTLSArguments(full, tlsNames, holdsSecret) != 0) {
            ZULOG_ERROR("Failed to add TLS/SSL arguments to command");
            return -1;
        }
    }
    full += " 2>&1";
    if (useAuth) {
        AppendCredentials(full);
        holdsSecret = true;
    }

    std::string errorOutput;
    const int rc = ExecCmd(full, output, errorOutput, holdsSecret);
    if (rc != 0) {
        ZULOG_ERROR("Error during execution of cmd [%s] rc [%d] out [%s]", cmd.c_str(), rc,
                    output.c_str());
        return rc;
    }
    CleanToolOutput(output, outputKind);
    if (output.empty())
        return -1;
    ZULOG(2, "cmd output [%s]", output.c_str());
    if (outputKind == MongoCmdOutput::Text)
        std::erase_if(output, [](char c) { return c == '\n' || c == '\r'; });
    return 0;
}

int MongoDbUtil::ValidateMongoBinPath(std::string& errorText) {
    errorText.clear();
    ZULOG(2, "Validating mongo bin path [%s]", m_binPath.c_str());
    if (!FXFile::Exists(m_binPath)) {
        errorText = FXString::Format("Failed to stat directory [%s]", m_binPath.c_str());
        return 1;
    }
    const std::string shell = FXPath::Join(m_binPath, "mongo");
    if (!FXFile::Exists(shell)) {
        errorText = FXString::Format("Failed to stat mongo binary [%s]", shell.c_str());
        return 1;
    }
    return 0;
}

int MongoDbUtil::GetArgv(const std::string& commandLine, char**& argv) {
    const std::vector<std::string> arguments = FXString::SplitArguments(commandLine, " ", 1);
    argv = new char*[arguments.size() + 1];
    for (size_t i = 0; i < arguments.size(); ++i) {
        argv[i] = new char[arguments[i].size() + 1];
        std::memcpy(argv[i], arguments[i].c_str(), arguments[i].size() + 1);
    }
    argv[arguments.size()] = nullptr;
    return int(arguments.size());
}

void MongoDbUtil::DeleteArgv(char**& argv) {
    if (!argv)
        return;
    for (char** arg = argv; *arg; ++arg)
        delete[] *arg;
    delete[] argv;
    argv = nullptr;
}

bool MongoDbUtil::isAuthenticationError(const std::string& text) {
    const std::string lastError = text.empty() ? m_connection->GetLastErrorMsg() : text;
    ZULOG(2, "Last Error: [%s]", lastError.c_str());
    for (const char* marker :
         {"requires authentication", "authentication failed", "no users authenticated"}) {
        if (boost::algorithm::icontains(lastError, marker)) {
            ZULOG_ERROR("This is an Authentication Error");
            return true;
        }
    }
    return false;
}

}  // namespace MongoDbKax
