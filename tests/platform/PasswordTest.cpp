#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host/Password.h"
#include "tests/support/TempStateRoot.h"

namespace {

class PasswordTest : public StateRootTest {};

TEST_F(PasswordTest, RoundTripOfVariousSecrets) {
    const std::string secrets[] = {"", "p", "pass word with blanks", "quote\" and 'single' and \\", "ünïcødé",
                                   std::string(1000, 'x'), std::string("nul\0inside", 10)};
    for (const std::string& secret : secrets) {
        std::string text;
        ASSERT_TRUE(TWPassword::encrypt(secret, text));
        EXPECT_TRUE(TWPassword::IsProtectedText(text));
        EXPECT_EQ(text.rfind("v1:", 0), 0u);
        if (secret.size() > 3) {
            EXPECT_EQ(text.find(secret), std::string::npos);
        }
        std::string clear;
        ASSERT_TRUE(TWPassword::decrypt(text, clear));
        EXPECT_EQ(clear, secret);
    }
}

TEST_F(PasswordTest, SameSecretGivesDifferentTextEachTime) {
    std::string a, b;
    ASSERT_TRUE(TWPassword::encrypt("secret", a));
    ASSERT_TRUE(TWPassword::encrypt("secret", b));
    EXPECT_NE(a, b);
}

TEST_F(PasswordTest, KeyIsCreatedOnceReadableByOwnerOnly) {
    std::string text;
    ASSERT_TRUE(TWPassword::encrypt("secret", text));
    struct stat dirStat, keyStat;
    ASSERT_EQ(::stat(root.File("keys").c_str(), &dirStat), 0);
    ASSERT_EQ(::stat(root.File("keys/password.key").c_str(), &keyStat), 0);
    EXPECT_EQ(dirStat.st_mode & 0777, 0700u);
    EXPECT_EQ(keyStat.st_mode & 0777, 0600u);
    EXPECT_EQ(keyStat.st_size, 32);
    std::string key;
    ASSERT_FALSE(FXFile::ReadAll(root.File("keys/password.key"), key).IsError());
    ASSERT_TRUE(TWPassword::encrypt("other", text));
    std::string again;
    ASSERT_FALSE(FXFile::ReadAll(root.File("keys/password.key"), again).IsError());
    EXPECT_EQ(key, again);
}

TEST_F(PasswordTest, TamperedTextFails) {
    std::string text;
    ASSERT_TRUE(TWPassword::encrypt("a secret of some length", text));
    // Flip one character in the nonce, the ciphertext and the tag regions.
    for (size_t at : {size_t(4), text.size() / 2, text.size() - 3}) {
        std::string tampered = text;
        tampered[at] = tampered[at] == 'A' ? 'B' : 'A';
        std::string clear = "untouched";
        EXPECT_FALSE(TWPassword::decrypt(tampered, clear)) << "position " << at;
        EXPECT_EQ(clear, "untouched");
    }
}

TEST_F(PasswordTest, MalformedTextFails) {
    std::string good;
    ASSERT_TRUE(TWPassword::encrypt("secret", good));
    const std::string cases[] = {
        "",
        "secret",                       // clear text
        good.substr(3),                 // no version prefix
        "v2:" + good.substr(3),         // unknown version
        good.substr(0, good.size() - 4),  // truncated
        "v1:AAAA",                      // too short to hold nonce and tag
        "v1:" + std::string(40, '*'),   // not base64
        good + "=",                     // bad padding
    };
    for (const std::string& text : cases) {
        std::string clear;
        EXPECT_FALSE(TWPassword::decrypt(text, clear)) << "[" << text << "]";
    }
}

TEST_F(PasswordTest, TextFromAnotherStateRootFails) {
    std::string text;
    ASSERT_TRUE(TWPassword::encrypt("secret", text));
    TempStateRoot other;  // switches KAX_ROOT
    std::string otherText;
    ASSERT_TRUE(TWPassword::encrypt("secret", otherText));  // its own key
    std::string clear;
    EXPECT_FALSE(TWPassword::decrypt(text, clear));
    EXPECT_TRUE(TWPassword::decrypt(otherText, clear));
}

TEST_F(PasswordTest, DecryptWithoutAKeyFailsAndCreatesNone) {
    std::string clear;
    EXPECT_FALSE(TWPassword::decrypt("v1:" + std::string(40, 'A'), clear));
    EXPECT_FALSE(FXFile::Exists(root.File("keys/password.key")));
}

TEST_F(PasswordTest, KeyReadableByOthersIsRefused) {
    std::string text;
    ASSERT_TRUE(TWPassword::encrypt("secret", text));
    TempStateRoot copy;
    ASSERT_FALSE(CZuDirectory::Create(copy.File("keys"), 0700).IsError());
    std::string keyCopy = copy.File("keys/password.key");
    ASSERT_FALSE(FXFile::Copy(root.File("keys/password.key"), keyCopy).IsError());
    ASSERT_EQ(::chmod(keyCopy.c_str(), 0644), 0);
    std::string clear;
    EXPECT_FALSE(TWPassword::decrypt(text, clear));
    ASSERT_EQ(::chmod(keyCopy.c_str(), 0600), 0);
    EXPECT_TRUE(TWPassword::decrypt(text, clear));  // the same key, now private
    EXPECT_EQ(clear, "secret");
}

TEST_F(PasswordTest, BufferFormChecksTheBufferSize) {
    std::string text;
    ASSERT_TRUE(TWPassword::encrypt("12345", text));
    char buffer[16];
    size_t length = 6;  // five characters and the NUL
    ASSERT_TRUE(TWPassword::decrypt(text, buffer, length));
    EXPECT_EQ(length, 5u);
    EXPECT_STREQ(buffer, "12345");
    length = 5;
    EXPECT_FALSE(TWPassword::decrypt(text, buffer, length));
}

}  // namespace
