// The cipher is checked against OpenSSL's Triple DES: our bit numbering equals
// standard DES behind a bit reversal inside every byte.
#include "cipher/Base64.h"
#include "cipher/CryptString.h"
#include "cipher/Des.h"
#include "core/Text.h"

#include <QByteArray>
#include <QProcess>
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace kestrova {
namespace {

std::string reversedBits(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        unsigned char r = 0;
        for (int i = 0; i < 8; ++i)
            r |= ((c >> i) & 1) << (7 - i);
        out += static_cast<char>(r);
    }
    return out;
}

std::string fromHex(const char* hex) {
    return QByteArray::fromHex(hex).toStdString();
}

std::string toHex(std::string_view bytes) {
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())).toHex().toStdString();
}

// Runs openssl (no shell) on input; false when it fails.
bool runOpenssl(const QStringList& args, const std::string& input, std::string& output) {
    QProcess p;
    p.start("openssl", args);
    p.write(input.data(), static_cast<qint64>(input.size()));
    p.closeWriteChannel();
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return false;
    output = p.readAllStandardOutput().toStdString();
    return true;
}

std::string keyBytes(const char* key) {
    std::string k;
    EXPECT_TRUE(text::toCp932(key, k));
    k.resize(8, '\0');
    return k;
}

// The stored form as standard three-key EDE in ECB computes it.
std::string referenceCipherText(const std::string& password) {
    std::string data;
    EXPECT_TRUE(text::toCp932(password, data));
    data.resize((data.size() + 7) / 8 * 8, '\0');
    std::string key =
        toHex(reversedBits(keyBytes(kCipherKey1) + keyBytes(kCipherKey2) + keyBytes(kCipherKey3)));
    QStringList args = {"enc", "-des-ede3", "-nopad", "-nosalt", "-K", QString::fromStdString(key)};
    std::string out;
    if (!runOpenssl(args, reversedBits(data), out)) {
        args << "-provider"
             << "legacy"
             << "-provider"
             << "default";
        EXPECT_TRUE(runOpenssl(args, reversedBits(data), out)) << "openssl des-ede3 unavailable";
    }
    std::string c = reversedBits(out);
    return QByteArray(c.data(), static_cast<qsizetype>(c.size())).toBase64().toStdString();
}

struct Cipher {
    std::vector<std::string> reports;
    std::string run(const std::string& text, int encipher) {
        return CryptString(text, encipher, kCipherKey1, kCipherKey2, kCipherKey3,
                           [this](const std::string& t) { reports.push_back(t); });
    }
};

TEST(Des, FipsKnownAnswerThroughBitReversal) {
    const std::string key = reversedBits(fromHex("133457799BBCDFF1"));
    const std::string plain = reversedBits(fromHex("0123456789ABCDEF"));
    const std::string cipher = reversedBits(fromHex("85E813540F0AB405"));
    EXPECT_EQ(toHex(DesCryptBlock(plain, true, key)), toHex(cipher));
    EXPECT_EQ(toHex(DesCryptBlock(cipher, false, key)), toHex(plain));
    // The top bit of every key byte is a parity bit in standard DES: after
    // reversal it is our most significant bit.
    std::string flipped = key;
    for (char& c : flipped)
        c = static_cast<char>(c ^ 0x80);
    EXPECT_EQ(DesCryptBlock(plain, true, flipped), cipher);
    EXPECT_EQ(DesCryptBlock(plain.substr(0, 7), true, key), "");
    EXPECT_EQ(DesCryptBlock(plain, true, key + "x"), "");
}

TEST(CryptString, MatchesStandardTripleDes) {
    std::string printable;
    for (char c = ' '; c <= '~'; ++c)
        printable += c;
    // Password, stored length, "=" at its end.
    const std::vector<std::tuple<std::string, size_t, size_t>> cases = {
        {"a", 12, 1},
        {"pass1234", 12, 1},
        {"pass12345", 24, 2},
        {"0123456789abcdef", 24, 2},
        {"0123456789abcdefg", 32, 0},
        {"日本語パス", 24, 2},
        {"ﾃｩｽﾄ", 12, 1},
        {printable, 128, 0}};
    for (const auto& [password, length, pads] : cases) {
        SCOPED_TRACE(password);
        Cipher c;
        const std::string stored = c.run(password, -1);
        EXPECT_EQ(stored, referenceCipherText(password));
        EXPECT_EQ(stored.size(), length);
        EXPECT_EQ(stored.size() - 1 - stored.find_last_not_of('='), pads);
        EXPECT_EQ(c.run(stored, 0), password);
        EXPECT_TRUE(c.reports.empty());
    }
}

TEST(CryptString, EmptyDeterministicAndBlockwise) {
    Cipher c;
    EXPECT_EQ(c.run("", -1), "");
    EXPECT_EQ(c.run("", 0), "");
    EXPECT_EQ(c.run("secret-x", -1), c.run("secret-x", -1));
    EXPECT_EQ(c.run("secret-x", 1), c.run("secret-x", -1));
    const std::string a = c.run("abcdefghXYZ", -1), b = c.run("abcdefgh12345678", -1);
    EXPECT_EQ(a.substr(0, 10), b.substr(0, 10));
    EXPECT_NE(a, b);
    EXPECT_TRUE(c.reports.empty());
}

TEST(CryptString, KeyStringsCountOnlyLowSevenBitsOfEightBytes) {
    Cipher c;
    // Half-width katakana are the digits and letters with the top bit set in
    // code page 932 ("1" 0x31 <-> 0xB1).
    std::string flipped;
    for (char ch : std::string(kCipherKey1))
        flipped += static_cast<char>(ch | 0x80);
    const std::string key1 = text::fromCp932(flipped);
    ASSERT_NE(key1, kCipherKey1);
    const std::string p = "パスワード";
    const std::string stored = c.run(p, -1);
    EXPECT_EQ(CryptString(p, -1, key1, kCipherKey2, kCipherKey3), stored);
    EXPECT_EQ(CryptString(p, -1, kCipherKey1, std::string(kCipherKey2) + "extra", kCipherKey3),
              stored);
    EXPECT_EQ(CryptString("x", -1, "ab", "cd", "ef"),
              CryptString("x", -1, std::string("ab\0\0\0\0\0\0", 8), "cd", "ef"));
}

TEST(CryptString, TrailingNulCharactersAreLost) {
    Cipher c;
    EXPECT_EQ(c.run(c.run(std::string("ab\0\0", 4), -1), 0), "ab");
    EXPECT_EQ(c.run(c.run(std::string("\0\0\0", 3), -1), 0), "");
    EXPECT_EQ(c.run(c.run(std::string("a\0b", 3), -1), 0), std::string("a\0b", 3));
    EXPECT_TRUE(c.reports.empty());
}

TEST(CryptString, CharacterOutsideCodePage932RoundTripsAsUtf8) {
    Cipher c;
    const std::string p = "pw\xF0\x9F\x94\x91€é";
    std::string unused;
    ASSERT_FALSE(text::toCp932(p, unused));
    EXPECT_EQ(c.run(c.run(p, -1), 0), p);
}

TEST(Base64, EncodingAndDecodingQuirks) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Base64Decode("Zm9vYg=="), "foob");
    EXPECT_EQ(Base64Decode(""), "");
    // Outside the alphabet: value 0 and a pad, wherever it stands.
    EXPECT_EQ(toHex(Base64Decode("Z!9v")), toHex(std::string("\x64\x0f", 2)));
    // A short last group still yields three bytes.
    EXPECT_EQ(toHex(Base64Decode("Zm9vZg")), "666f6f000660");
    // "====" after a complete group takes its three bytes and one before.
    EXPECT_EQ(Base64Decode("QUJDREVG===="), "ABCDE");
    std::string failure;
    for (const char* bad : {"A===", "====", "*#?xQUJD", "QQ==@@@@@"}) {
        failure.clear();
        EXPECT_EQ(Base64Decode(bad, &failure), "") << bad;
        EXPECT_FALSE(failure.empty()) << bad;
    }
}

TEST(CryptString, UndecodableStoredTexts) {
    Cipher c;
    // Decoded length 3, 9 and 8 + "====": zero-filled, deciphered, no report.
    c.run("QUJD", 0);
    c.run("secret123", 0);
    c.run(c.run("abcdefgh", -1).substr(0, 8) + "====", 0);
    EXPECT_TRUE(c.reports.empty());
    EXPECT_EQ(c.run("@@@=QUJDREVG", 0), "");
    EXPECT_EQ(c.run("===", 0), "");
    ASSERT_EQ(c.reports.size(), 2u);
    EXPECT_EQ(c.reports[0].rfind("システムエラー\r\n", 0), 0u);
    EXPECT_GT(c.reports[0].size(), std::string("システムエラー\r\n").size());
    // No report at all is asked for: nothing happens.
    EXPECT_EQ(CryptString("====", 0, kCipherKey1, kCipherKey2, kCipherKey3), "");
}

} // namespace
} // namespace kestrova
