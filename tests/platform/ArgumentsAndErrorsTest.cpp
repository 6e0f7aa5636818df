#include <gtest/gtest.h>

#include "host/Files.h"
#include "host/ProgramArguments.h"
#include "host/ZuError.h"

namespace {

TEST(ProgramArgumentsTest, ValuesAndFlags) {
    const char* argv[] = {"/usr/bin/prog", "-j", "123", "-log", "-t", "1", "-t", "2", "-d", "-flagAtEnd", "-repset",
                          "rs 0", "-negative", "-5", "-last"};
    CProgramArguments args(static_cast<int>(std::size(argv)), argv, 0);

    struct Case {
        const char* name;
        bool hasValue;
        const char* value;
    };
    const Case cases[] = {
        {"j", true, "123"},
        {"t", true, "2"},             // the last occurrence wins
        {"repset", true, "rs 0"},
        {"negative", true, "-5"},     // the next argument, whatever it looks like
        {"d", true, "-flagAtEnd"},
        {"last", false, ""},          // nothing follows
        {"absent", false, ""},
        {"-j", false, ""},            // names are given without the dash
        {"prog", false, ""},
    };
    for (const Case& c : cases) {
        std::string value = "untouched";
        CZuError err = args.GetValue(c.name, value);
        EXPECT_EQ(err.IsSuccess(), c.hasValue) << c.name;
        if (c.hasValue) {
            EXPECT_EQ(value, c.value) << c.name;
        } else {
            EXPECT_EQ(err.GetErrorCode(), ZuCode::NotFound) << c.name;
            EXPECT_EQ(value, "untouched") << c.name;
        }
        EXPECT_EQ(args.GetValueOrEmpty(c.name), c.value) << c.name;
    }
    EXPECT_TRUE(args.IsFlagPresent("log"));
    EXPECT_TRUE(args.IsFlagPresent("last"));
    EXPECT_FALSE(args.IsFlagPresent("snaptape"));
    EXPECT_FALSE(args.IsFlagPresent("Log"));        // exact case
    EXPECT_FALSE(args.IsFlagPresent("/usr/bin/prog"));
}

TEST(ProgramArgumentsTest, AsStringSplitsBackIntoTheSameArguments) {
    CProgramArguments args(std::vector<std::string>{"prog", "-dbpath", "/data/my db", "-meta", "", "-q", "say \"x\""});
    EXPECT_EQ(args.AsString(), "-dbpath \"/data/my db\" -meta \"\" -q \"say \\\"x\\\"\"");
    std::vector<std::string> back = FXString::SplitArguments(args.AsString(), " ", 1);
    EXPECT_EQ(back, std::vector<std::string>(args.GetArgs().begin() + 1, args.GetArgs().end()));
}

CZuError Inner() { return FXErrorUtil::ErrorWin32(FXLOC, 1627, "Failed to get the xml options [%d]", 7); }
CZuError Middle() { return Inner().Push(FXLOC); }
CZuError Outer() { return Middle().Push(FXLOC, "while checking job %lld", 42LL); }

TEST(ZuErrorTest, AsStringShowsCodeMessagesAndEveryLocation) {
    CZuError err = Outer();
    ASSERT_TRUE(err.IsError());
    EXPECT_TRUE(static_cast<bool>(err));
    EXPECT_EQ(err.GetErrorCode(), 1627u);
    EXPECT_EQ(err.GetKind(), CZuError::Kind::Win32);
    EXPECT_EQ(err.GetMessage(), "Failed to get the xml options [7]");
    ASSERT_EQ(err.GetFrames().size(), 3u);
    std::string text = err.AsString();
    EXPECT_EQ(text.rfind("error 1627 (function failed): Failed to get the xml options [7] [Inner ", 0), 0u) << text;
    size_t inner = text.find("[Inner ArgumentsAndErrorsTest.cpp:");
    size_t middle = text.find("[Middle ArgumentsAndErrorsTest.cpp:");
    size_t outer = text.find("while checking job 42 [Outer ArgumentsAndErrorsTest.cpp:");
    ASSERT_NE(inner, std::string::npos);
    ASSERT_NE(middle, std::string::npos);
    ASSERT_NE(outer, std::string::npos);
    EXPECT_LT(inner, middle);
    EXPECT_LT(middle, outer);
}

TEST(ZuErrorTest, SuccessAndErrno) {
    CZuError ok = CZuError::Success();
    ok.Push(FXLOC).Push(FXLOC, "ignored %d", 1);
    EXPECT_FALSE(ok.IsError());
    EXPECT_EQ(ok.GetErrorCode(), 0u);
    EXPECT_TRUE(ok.GetFrames().empty());
    EXPECT_EQ(ok.AsString(), "Success");

    CZuError err = FXErrorUtil::ErrorErrNo(FXLOC, ENOENT);
    EXPECT_EQ(err.GetKind(), CZuError::Kind::ErrNo);
    EXPECT_EQ(err.GetMessage(), "");
    EXPECT_NE(err.AsString().find("errno 2 (No such file or directory)"), std::string::npos);

    // Long messages are not cut.
    std::string longText(5000, 'm');
    EXPECT_EQ(FXErrorUtil::ErrorWin32(FXLOC, 22, "%s", longText.c_str()).GetMessage(), longText);
}

}  // namespace
