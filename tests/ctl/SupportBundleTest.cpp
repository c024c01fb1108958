#include "ctl/SupportBundle.h"

#include <cstdlib>

#include "ctl/CtlJson.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

TEST(SupportBundleTest, DocumentsLoseEverySecret) {
    const std::vector<std::string> known = {"Hunter2-Secret", "ab"};
    const struct {
        const char* what;
        std::string in;
        std::string out;
    } cases[] = {
        {"stored password", "<HTTPAuthPassword>!CRYPT!0A1B2C3D</HTTPAuthPassword>",
         "<HTTPAuthPassword>[removed]</HTTPAuthPassword>"},
        {"empty stays empty", "<ProxyPassword></ProxyPassword><ProxyPassword/>",
         "<ProxyPassword></ProxyPassword><ProxyPassword/>"},
        {"certificate password", "<ClientCertPswd>plain</ClientCertPswd>",
         "<ClientCertPswd>[removed]</ClientCertPswd>"},
        {"any key", "<BackupKey>0xfeed</BackupKey><KeyFile>a.pem</KeyFile>",
         "<BackupKey>[removed]</BackupKey><KeyFile>[removed]</KeyFile>"},
        {"names compare in any case", "<pwd>x</pwd><ApiTOKEN>y</ApiTOKEN>",
         "<pwd>[removed]</pwd><ApiTOKEN>[removed]</ApiTOKEN>"},
        {"a stored value anywhere", "<Note>old: !CRYPT!99AA99 was it</Note>",
         "<Note>old: [removed] was it</Note>"},
        {"in an attribute", "<Entry password=\"p1\" user='u' secret='s'/>",
         "<Entry password=\"[removed]\" user='u' secret='[removed]'/>"},
        {"a known secret in clear", "<SiteNote>pw is Hunter2-Secret!</SiteNote>",
         "<SiteNote>pw is [removed]!</SiteNote>"},
        {"short secrets are not searched for", "<Lab>ab</Lab>", "<Lab>ab</Lab>"},
        {"CDATA", "<ProxyPassword><![CDATA[a<b]]></ProxyPassword>",
         "<ProxyPassword>[removed]</ProxyPassword>"},
        {"nested secret element", "<Keys>\r<A>1</A>\r</Keys>", "<Keys>[removed]<A>1</A>\r</Keys>"},
        {"broken document", "<HTTPAuthPassword>!CRYPT!77", "<HTTPAuthPassword>[removed]"},
        {"other elements stay", "<ServerName>h</ServerName><ServerPort>1</ServerPort>",
         "<ServerName>h</ServerName><ServerPort>1</ServerPort>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RedactDocument(c.in, known), c.out) << c.what;
}

TEST(SupportBundleTest, LinesThatCouldCarryASecretGo) {
    const std::string removed = REDACTED_LINE;
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain line\r\n", "plain line\r\n"},
        {"pszProxyPassword() set\r\nnext\n", removed + "\r\nnext\n"},
        {"Authorization: Basic eA==\n", removed + "\n"},
        {"stored !CRYPT!AB\n", removed + "\n"},
        {"said Hunter2-Secret here", removed},
        {"a\nb PASSWD c\nd", "a\n" + removed + "\nd"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ScrubLines(c.in, {"Hunter2-Secret"}), c.out) << c.in;
}

TEST(SupportBundleTest, TheArchiveUnpacksWithTar) {
    TempDir temp;
    TarGzWriter tar(1700000000);
    ASSERT_TRUE(tar.AddDirectory("top"));
    const std::string deep = "top/" + std::string(90, 'd') + "/" + std::string(60, 'f') + ".txt";
    const std::string big(70000, 'x');
    ASSERT_TRUE(tar.AddFile("top/a.txt", "alpha\n"));
    ASSERT_TRUE(tar.AddFile("top/empty", ""));
    ASSERT_TRUE(tar.AddFile(deep, big));
    EXPECT_FALSE(tar.AddFile(std::string(300, 'n'), "too long"));
    EXPECT_EQ(tar.TarBytes().size() % 512, 0u);
    const std::string bundle = temp / "b.tar.gz";
    std::string why;
    ASSERT_TRUE(tar.Write(bundle, &why)) << why;
    ASSERT_EQ(std::system(("tar -xzf " + bundle + " -C " + temp.Path().string()).c_str()), 0);
    EXPECT_EQ(ReadFileBytes(temp / "top/a.txt"), "alpha\n");
    EXPECT_TRUE(FileExists(temp / "top/empty"));
    EXPECT_EQ(ReadFileBytes(temp.Path() / deep), big);
    EXPECT_FALSE(tar.Write(temp / "missing/dir/b.tar.gz", &why));
    EXPECT_FALSE(why.empty());
}

TEST(SupportBundleTest, JsonKeepsOrderAndEscapes) {
    JsonValue object = JsonValue::Object();
    object.Set("b", 1).Set("a", "q\"\\\n\x01").Set("b", 2);
    object.Set("list", JsonValue::Array().Push(true).Push(JsonValue()));
    object.Set("text", std::u16string(u"\u00e9"));
    EXPECT_EQ(object.Dump(), "{\n  \"b\": 2,\n  \"a\": \"q\\\"\\\\\\n\\u0001\",\n  \"list\": [\n"
                             "    true,\n    null\n  ],\n  \"text\": \"\xc3\xa9\"\n}\n");
}
