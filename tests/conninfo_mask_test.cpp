#include "exec/conninfo_mask.h"

#include <gtest/gtest.h>

#include <random>

namespace vantrel {
namespace {

struct Masked {
    std::string input;
    std::string expected;
};

TEST(ConninfoMask, MasksEveryPasswordSyntax) {
    const Masked cases[] = {
        {"host=h password=S3cr3tZq user=u", "host=h password=******** user=u"},
        {"password = S3cr3tZq", "password = ********"},
        {"host=h password='S3cr\\'3t Zq' port=1", "host=h password='********' port=1"},
        {"password=S3cr\\ 3tZq dbname=d", "password=******** dbname=d"},
        {"password=a password=S3cr3tZq", "password=******** password=********"},
        {"PassWord=S3cr3tZq", "PassWord=********"},
        {"password= host=S3cr3tZq", "password= ********"},
        {"password=", "password=********"},
        {"dbname='host=h password=S3cr3tZq'", "dbname='host=h password=********'"},
        {"dbname=postgresql://u:S3cr3tZq@h/d", "dbname=postgresql://u:********@h/d"},
        {"sslpassword=S3cr3tZq sslkey=/k", "sslpassword=******** sslkey=/k"},
        {"postgresql://u:S3cr3tZq@h:5/db", "postgresql://u:********@h:5/db"},
        {"postgres://u:S3%40cr3tZq@h/db?sslmode=off", "postgres://u:********@h/db?sslmode=off"},
        {"postgresql://u:p@S3cr3tZq@h/db", "postgresql://u:********@h/db"},
        {"postgresql://h/db?password=S3cr3tZq&port=5", "postgresql://h/db?password=********&port=5"},
        {"postgresql://h?pass%77ord=S3cr3tZq", "postgresql://h?pass%77ord=********"},
        {"postgresql://u@h?application_name=x&password=S3cr3tZq",
         "postgresql://u@h?application_name=x&password=********"},
    };
    for (const Masked& c : cases) {
        const std::string masked = mask_conninfo_passwords(c.input);
        EXPECT_EQ(masked.find("S3cr3tZq"), std::string::npos) << c.input;
        EXPECT_EQ(masked.find("3tZq"), std::string::npos) << c.input;
        EXPECT_EQ(masked, c.expected) << c.input;
    }
}

TEST(ConninfoMask, MalformedStringsAreMaskedFromWhereTheyBreak) {
    const Masked cases[] = {
        {"host=x password='S3cr3tZq", "host=x ********"},
        {"host=x password S3cr3tZq", "host=x ********"},
        {"host='x password=S3cr3tZq", "********"},
        {"user=u 'password'=S3cr3tZq junk", "user=u ********"},
        {"passwordx=1 password=S3cr3tZq", "********"},
        {"port=5 x = password=S3cr\\ 3tZq", "port=5 ********"},
    };
    for (const Masked& c : cases) {
        const std::string masked = mask_conninfo_passwords(c.input);
        EXPECT_EQ(masked.find("S3cr3tZq"), std::string::npos) << c.input;
        EXPECT_EQ(masked, c.expected) << c.input;
    }
}

TEST(ConninfoMask, StringsWithoutPasswordsStayByteForByte) {
    const std::string unchanged[] = {
        "",
        "host=127.0.0.1 port=5432 dbname=stock user=reader",
        "  host = h   sslmode='require'  application_name='a b\\'c'  ",
        "passfile=/home/u/.pgpass sslmode=disable",
        "application_name=\xd0\x96\xd1\x83\xd0\xba\xf0\x9f\x98\x80",
        "postgresql://u@h:5432,h2:5433/db?target_session_attrs=any",
        "postgres://h/db?passwords=1&xpassword=2",
        "postgresql://[::1]:5432/db",
    };
    for (const std::string& text : unchanged) EXPECT_EQ(mask_conninfo_passwords(text), text);
}

// Random keyword soup around one secret placed in a random accepted syntax.
TEST(ConninfoMask, SecretNeverSurvivesRandomSurroundings) {
    std::mt19937 random(20261209);
    const std::string fillers[] = {"host=h", "port=5", " ", "  ", "user='a b'", "x", "=", "'",
                                   "\\", "dbname=d", "password", "&", "?", "@", ":", "/"};
    const std::string placements[] = {"password=SECRET", "password = 'SECRET'",
                                      "password='SE\\'CRET'", "password=SE\\ CRET"};
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int before = random() % 5;
        for (int i = 0; i < before; ++i) text += fillers[random() % std::size(fillers)] + " ";
        text += placements[random() % std::size(placements)];
        const int after = random() % 5;
        for (int i = 0; i < after; ++i) text += " " + fillers[random() % std::size(fillers)];
        const std::string masked = mask_conninfo_passwords(text);
        ASSERT_EQ(masked.find("CRET"), std::string::npos) << text << " -> " << masked;
    }
    for (int round = 0; round < 20000; ++round) {
        std::string text = random() % 2 ? "postgresql://" : "postgres://";
        if (random() % 2) text += "user:SECRET" + std::string(random() % 2 ? "@" : "@x@");
        text += fillers[random() % std::size(fillers)];
        if (random() % 2) text += "/db";
        text += "?a=1&";
        text += random() % 2 ? "password=SECRET" : "p%61ssword=SECRET";
        if (random() % 2) text += "&b=" + fillers[random() % std::size(fillers)];
        const std::string masked = mask_conninfo_passwords(text);
        ASSERT_EQ(masked.find("SECRET"), std::string::npos) << text << " -> " << masked;
    }
}

}  // namespace
}  // namespace vantrel
