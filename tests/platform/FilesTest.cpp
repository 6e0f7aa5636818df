#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/Files.h"
#include "tests/support/TempStateRoot.h"

namespace {

TEST(FilesTest, PathHelpers) {
    struct Case {
        const char* path;
        const char* parent;
        const char* last;
        const char* normal;
    };
    const Case cases[] = {
        {"/a/b", "/a", "b", "/a/b"},
        {"/a/b/", "/a", "b", "/a/b"},
        {"/a", "/", "a", "/a"},
        {"/", "/", "", "/"},
        {"a", ".", "a", "a"},
        {"a//b/./c/", "a//b/.", "c", "a/b/c"},
        {"/a/b/../c", "/a/b/..", "c", "/a/c"},
        {"/..", "/", "..", "/"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FXPath::Parent(c.path), c.parent) << c.path;
        EXPECT_EQ(FXPath::LastComponent(c.path), c.last) << c.path;
        EXPECT_EQ(FXPath::Normalize(c.path), c.normal) << c.path;
    }
    EXPECT_EQ(FXPath::Join("/a", "b"), "/a/b");
    EXPECT_EQ(FXPath::Join("/a/", "/b"), "/a/b");
    EXPECT_EQ(FXPath::Join("", "b"), "b");
    EXPECT_EQ(FXPath::Join("/a", ""), "/a");
    EXPECT_TRUE(FXPath::IsAncestorOrSame("/data", "/data/db/x"));
    EXPECT_TRUE(FXPath::IsAncestorOrSame("/data/", "/data"));
    EXPECT_TRUE(FXPath::IsAncestorOrSame("/", "/data"));
    EXPECT_FALSE(FXPath::IsAncestorOrSame("/data", "/database"));
    EXPECT_FALSE(FXPath::IsAncestorOrSame("/data", "/data/../etc/passwd"));
}

TEST(FilesTest, SplitArgumentsIsQuoteAwareAndInverseOfQuoteArgument) {
    struct Case {
        const char* text;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"-a 1  -b 2", {"-a", "1", "-b", "2"}},
        {"-repset \"rs 0\" -dbpath \"/data/my db\"", {"-repset", "rs 0", "-dbpath", "/data/my db"}},
        {"-x \"\" -y", {"-x", "", "-y"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"say \\\"hi\\\" \\\\ now\"", {"say \"hi\" \\ now"}},
        {"back\\slash", {"back\\slash"}},
        {"\"unterminated run", {"unterminated run"}},
        {"   ", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(FXString::SplitArguments(c.text), c.pieces) << c.text;
    EXPECT_EQ(FXString::SplitArguments("a,b;;c", ",;"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(FXString::SplitArguments("\"a b\"", " ", 0), (std::vector<std::string>{"\"a", "b\""}));

    std::vector<std::string> awkward = {"plain", "", "with blank", "quote\"inside", "back\\slash\\", "tab\there"};
    std::string line;
    for (const auto& a : awkward) line += (line.empty() ? "" : " ") + FXString::QuoteArgument(a);
    EXPECT_EQ(FXString::SplitArguments(line), awkward) << line;
}

TEST(FilesTest, ShellQuoteSurvivesTheShell) {
    const std::string values[] = {"", "plain", "it's", "$(touch /tmp/kax_never) `x` $HOME \"q\" \\ ; | &", "a\nb"};
    for (const std::string& v : values) {
        std::string out;
        FILE* pipe = ::popen(("printf '%s' " + FXString::ShellQuote(v)).c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char buffer[256];
        size_t n;
        while ((n = ::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        ::pclose(pipe);
        EXPECT_EQ(out, v);
    }
    EXPECT_FALSE(FXFile::Exists("/tmp/kax_never"));
}

class FileOpsTest : public StateRootTest {};

TEST_F(FileOpsTest, WriteReadAppendCopyMoveDelete) {
    std::string a = root.File("a.txt");
    std::string content(200000, 'z');
    ASSERT_FALSE(FXFile::WriteAll(a, content, 0600).IsError());
    struct stat st;
    ASSERT_EQ(::stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_FALSE(FXFile::Append(a, "tail").IsError());
    std::string back;
    ASSERT_FALSE(FXFile::ReadAll(a, back).IsError());
    EXPECT_EQ(back, content + "tail");
    uint64_t size = 0;
    ASSERT_FALSE(FXFile::Size(a, size).IsError());
    EXPECT_EQ(size, content.size() + 4);

    std::string b = root.File("b.txt");
    ASSERT_FALSE(FXFile::Copy(a, b).IsError());
    ASSERT_EQ(::stat(b.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string c = root.File("c.txt");
    ASSERT_FALSE(FXFile::Move(b, c).IsError());
    EXPECT_FALSE(FXFile::Exists(b));
    EXPECT_TRUE(FXFile::Exists(c));
    EXPECT_FALSE(FXFile::Delete(c).IsError());
    EXPECT_FALSE(FXFile::Delete(c).IsError());  // already gone is fine

    CZuError missing = FXFile::ReadAll(root.File("missing"), back);
    EXPECT_EQ(missing.GetKind(), CZuError::Kind::ErrNo);
    EXPECT_EQ(missing.GetErrorCode(), static_cast<uint32_t>(ENOENT));
}

TEST_F(FileOpsTest, WriteToAFullDeviceIsAnError) {
    if (!FXFile::Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    CZuError err = FXFile::WriteAll("/dev/full", std::string(100000, 'x'));
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrorCode(), static_cast<uint32_t>(ENOSPC));
}

TEST_F(FileOpsTest, LinksListingPatternsAndTrees) {
    std::string dir = root.File("d/e/f");
    ASSERT_FALSE(CZuDirectory::Create(dir).IsError());
    for (const char* name : {"x.wt", "y.wt", "z.log", "journal"}) FXFile::WriteAll(FXPath::Join(dir, name), "1");
    ASSERT_FALSE(CZuDirectory::Create(FXPath::Join(dir, "sub.wt")).IsError());
    ASSERT_EQ(::symlink("x.wt", FXPath::Join(dir, "link").c_str()), 0);

    std::vector<std::string> names;
    ASSERT_FALSE(CZuDirectory::List(dir, names).IsError());
    EXPECT_EQ(names, (std::vector<std::string>{"journal", "link", "sub.wt", "x.wt", "y.wt", "z.log"}));
    ASSERT_FALSE(CZuDirectory::List(dir, names, "*.wt").IsError());
    EXPECT_EQ(names, (std::vector<std::string>{"sub.wt", "x.wt", "y.wt"}));
    EXPECT_TRUE(CZuDirectory::List(root.File("nope"), names).IsError());

    EXPECT_TRUE(FXFile::IsSymlink(FXPath::Join(dir, "link")));
    std::string target;
    ASSERT_FALSE(FXFile::ResolveLink(FXPath::Join(dir, "link"), target).IsError());
    EXPECT_EQ(target, FXPath::Join(dir, "x.wt"));
    EXPECT_TRUE(FXFile::ResolveLink(FXPath::Join(dir, "x.wt"), target).IsError());

    int deleted = 0;
    ASSERT_FALSE(CZuDirectory::DeleteByPattern(dir, "*.wt", &deleted).IsError());
    EXPECT_EQ(deleted, 2);  // the directory sub.wt stays
    ASSERT_FALSE(CZuDirectory::List(dir, names).IsError());
    EXPECT_EQ(names, (std::vector<std::string>{"journal", "link", "sub.wt", "z.log"}));

    EXPECT_TRUE(CZuDirectory::RemoveEmpty(root.File("d")).IsError());
    ASSERT_FALSE(CZuDirectory::RemoveTree(root.File("d")).IsError());
    EXPECT_FALSE(FXFile::Exists(root.File("d")));
    EXPECT_FALSE(CZuDirectory::RemoveTree(root.File("d")).IsError());
}

TEST_F(FileOpsTest, FreeSpaceOfTheStateRoot) {
    bool more = true;
    uint64_t used = 0, total = 0;
    ASSERT_FALSE(CTWDSpaceCheck::isSpaceConsumedMoreThanPercentage(root.path, 100.0, more, used, total).IsError());
    EXPECT_FALSE(more);
    EXPECT_GT(total, 0u);
    EXPECT_LE(used, total);
    ASSERT_FALSE(CTWDSpaceCheck::isSpaceConsumedMoreThanPercentage(root.path, -1.0, more, used, total).IsError());
    EXPECT_TRUE(more);
    EXPECT_TRUE(CTWDSpaceCheck::isSpaceConsumedMoreThanPercentage(root.File("missing"), 50, more, used, total).IsError());
}

}  // namespace
