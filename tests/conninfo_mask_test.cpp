#include "exec/conninfo_mask.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <random>
#include <string>

namespace vantrel {
namespace {

struct Masked {
    std::string input;
    std::string expected;
};

void expect_masked(const Masked& c) {
    const std::string masked = mask_conninfo_passwords(c.input);
    EXPECT_EQ(masked.find("3tZq"), std::string::npos) << c.input << " -> " << masked;
    EXPECT_EQ(masked, c.expected) << c.input;
}

TEST(ConninfoMask, MasksEveryPasswordSyntax) {
    const Masked cases[] = {
        {"host=h password=S3cr3tZq user=u", "host=h password=******** user=u"},
        {" password \t=  S3cr3tZq ", " password \t=  ******** "},
        {"password='S3c\\'r3t Zq\\\\'port=1", "password='********'port=1"},
        {"password=S3cr\\ 3tZq dbname=d", "password=******** dbname=d"},
        {"password=a password=S3cr3tZq", "password=******** password=********"},
        {"password= host=S3cr3tZq", "password= ********"},
        {"password=", "password=********"},
        {"sslpassword=S3cr3tZq sslkey=/k", "sslpassword=******** sslkey=/k"},
        {"Password=S3cr3tZq port=5", "Password=******** port=5"},
        {"dbname=postgresql://u:S3cr3tZq@h/d", "dbname=postgresql://u:********@h/d"},
        {"dbname=p\\ostgresql://u:S3\\cr3tZq@h/d", "dbname=p\\ostgresql://u:********@h/d"},
        {"dbname='postgres\\://u:\\S3cr3tZq@h/d'", "dbname='postgres\\://u:********@h/d'"},
        {"postgresql://u:S3cr3tZq@h:5/db", "postgresql://u:********@h:5/db"},
        {"postgres://u:S3%40cr3tZq@h/db?sslmode=off", "postgres://u:********@h/db?sslmode=off"},
        {"postgresql://u:p@S3cr3tZq@h/db", "postgresql://u:********@h/db"},
        {"postgresql://u:p?S3cr3tZq@h/db", "postgresql://u:********@h/db"},
        {"postgresql://h/db?password=S3cr3tZq&port=5", "postgresql://h/db?password=********&port=5"},
        {"postgresql://h?pass%77ord=S3c%72et%20Zq", "postgresql://h?pass%77ord=********"},
        {"postgresql://u@h?password=S3cr3tZq@x/d", "postgresql://u@h?password=********"},
        {"postgresql://[::1]?password=S3cr3tZq", "postgresql://[::1]?password=********"},
        {"postgresql://h:[5?password=S3cr3tZq]", "postgresql://h:[5?password=********"},
        {"postgresql://h,[::1]&x,[&password=S3cr3tZq", "postgresql://h,[::1]&x,[&password=********"},
        // Raw reserved characters: libpq reads pieces of the password as host, port or database,
        // or refuses the string, but a password reaches up to the last '@' before the query,
        // and a parameter's up to the next parameter libpq reads.
        {"postgresql://u:Gh/Ij3tZq@h/db", "postgresql://u:********@h/db"},
        {"postgresql://u:Ab/Cd@Ef3tZq@h:5/db?sslmode=off", "postgresql://u:********@h:5/db?sslmode=off"},
        {"postgresql://u:Ui/Op?3tZq@h/db", "postgresql://u:********@h/db"},
        {"postgresql://u:K9/@&?#:3tZq@h/db?port=5", "postgresql://u:********@h/db?port=5"},
        {"postgresql://u:S3/cr3tZq@h/db?application_name=a@b", "postgresql://u:********@h/db?application_name=a@b"},
        {"postgresql://me@corp:S3cr3tZq@h/db", "postgresql://me@corp:********@h/db"},
        {"postgresql://h/db?password=Gh&Ij3tZq&port=5", "postgresql://h/db?password=********&port=5"},
        {"postgresql://h/db?password=Vb&Nm=3tZq&user=u", "postgresql://h/db?password=********&user=u"},
    };
    for (const Masked& c : cases) expect_masked(c);
}

TEST(ConninfoMask, MalformedStringsAreHiddenFromWhereTheyBreak) {
    const Masked cases[] = {
        {"host=x password='S3cr3tZq", "host=x password='********"},
        {"host=x password S3cr3tZq", "host=x ********"},
        {"host='x password=S3cr3tZq", "host='********"},
        {"host='x password='S3cr3tZq=1'", "host='x password=********"},
        {"host=a\\ password=S3cr3tZq", "host=a\\ password=********"},
        {"host=password =S3cr3tZq", "host=password ********"},
        {"dbname='host=h password=S3cr3tZq' port=5", "dbname='host=h password=********"},
        {"user=u 'password'=S3cr3tZq", "user=u 'password'=********"},
        {"password", "********"},
        {"passwordx=1 password=S3cr3tZq", "passwordx=1 password=********"},
    };
    for (const Masked& c : cases) expect_masked(c);
}

TEST(ConninfoMask, StringsWithoutPasswordsStayByteForByte) {
    const std::string unchanged[] = {
        "",
        "host=127.0.0.1 port=5432 dbname=x user=y",
        "  host = h   sslmode='require'  application_name='a b\\'c'  ",
        "passfile=/home/u/.pgpass passwordx=1 sslmode=disable",
        "application_name=\xd0\x96\xd1\x83\xd0\xba\xf0\x9f\x98\x80 host=\xff\xfe",
        "postgresql://u@h:5432,h2:5433/db?target_session_attrs=any",
        "postgres://h/db?passwords=1&application_name=a%20b",
        "postgresql://[::1]:5432/db@x",
        "postgresql://h,[::?&password=1]:5432/db",
        "postgresql://u@h/db?application_name=me@x&sslmode=require",
    };
    for (const std::string& text : unchanged) EXPECT_EQ(mask_conninfo_passwords(text), text);
}

// Well-formed strings: exactly the password values change.
TEST(ConninfoMask, RandomWellFormedStringsChangeOnlyInTheirPasswords) {
    std::mt19937 random(20261209);
    const Masked others[] = {{"host=h", ""}, {"port = 5", ""}, {"user='a b\\'c'", ""},
                             {"dbname=d\\ e", ""}, {"passwordx=1", ""}, {"options='-c x=1'", ""}};
    const Masked passwords[] = {{"password=S3cr3tZq", "password=********"},
                                {"password = 'S3c r3tZq'", "password = '********'"},
                                {"password='S3\\'cr3tZq'", "password='********'"},
                                {"password=S3cr\\ 3t\\Zq", "password=********"}};
    for (int round = 0; round < 5000; ++round) {
        Masked c;
        for (int pair = 0; pair < 6; ++pair) {
            const Masked& next = random() % 3 ? others[random() % std::size(others)]
                                              : passwords[random() % std::size(passwords)];
            c.input += next.input + " ";
            c.expected += (next.expected.empty() ? next.input : next.expected) + " ";
        }
        expect_masked(c);
    }
}

// Whatever garbage surrounds it, a password placed in any accepted syntax never shows.
TEST(ConninfoMask, SecretNeverSurvivesRandomSurroundings) {
    std::mt19937 random(20261209);
    const std::string garbage[] = {"host=h", "port=5", " ", "user='a b'", "x", "=", "'", "\\",
                                   "password", "Password", "&", "?", "@", ":", "/", "a\\"};
    const std::string keyword_placements[] = {"password=S3cr3tZq", "password = 'S3cr3tZq'",
                                              "password='S3\\'cr3tZq'", "password=S3cr\\ 3tZq"};
    const std::string uri_placements[] = {"?password=S3cr3tZq", "&pass%77ord=S3cr3tZq"};
    for (int round = 0; round < 50000; ++round) {
        const bool uri = round % 2 == 1;
        std::string text = uri ? "postgresql://" : "";
        if (round % 4 == 1) text += "u:S3cr3tZq@";
        for (int i = random() % 4; i > 0; --i) text += garbage[random() % std::size(garbage)];
        text += uri ? uri_placements[random() % std::size(uri_placements)]
                    : keyword_placements[random() % std::size(keyword_placements)];
        for (int i = random() % 4; i > 0; --i) text += garbage[random() % std::size(garbage)];
        const std::string masked = mask_conninfo_passwords(text);
        ASSERT_EQ(masked.find("3tZq"), std::string::npos) << text << " -> " << masked;
        // Nor in what libpq says when it refuses the string.
        char* error = nullptr;
        PQconninfoFree(PQconninfoParse(text.c_str(), &error));
        const std::string message = error ? error : "";
        PQfreemem(error);
        const std::string shown = mask_conninfo_passwords_in(message, text);
        ASSERT_EQ(shown.find("3tZq"), std::string::npos) << text << ": " << message << " -> " << shown;
    }
}

struct MaskedMessage {
    std::string conninfo;
    std::string message;
    std::string expected;
};

TEST(ConninfoMask, ErrorTextsChangeOnlyWhereTheyRepeatAPassword) {
    const MaskedMessage cases[] = {
        {"postgresql://app:S3cret@[::1/db",
         "end of string reached when looking for matching \"]\" in IPv6 host address in URI: "
         "\"postgresql://app:S3cret@[::1/db\"\n",
         "end of string reached when looking for matching \"]\" in IPv6 host address in URI: "
         "\"postgresql://app:********@[::1/db\"\n"},
        {"postgresql://app:50%zz@h/db", "invalid percent-encoded token: \"50%zz\"\n",
         "invalid percent-encoded token: \"********\"\n"},
        {"host=h password=abc 123x", "missing \"=\" after \"123x\" in connection info string\n",
         "missing \"=\" after \"********\" in connection info string\n"},
        // The string hides everything after a swallowed password, the host included; the
        // message only the secret in the name the server echoes.
        {"dbname=x\\ password=S3cret host=db1",
         "connection to server at \"db1\" (10.0.0.1), port 5432 failed: FATAL:  database \"x "
         "password=S3cret\" does not exist\n",
         "connection to server at \"db1\" (10.0.0.1), port 5432 failed: FATAL:  database \"x "
         "password=********\" does not exist\n"},
        // The server echoes the name as libpq read it, escapes undone, and cuts it at 63 bytes.
        {"dbname='x password=S3\\cret' host=db1",
         "FATAL:  database \"x password=S3cret\" does not exist\n",
         "FATAL:  database \"x password=********\" does not exist\n"},
        {"user=" + std::string(50, 'u') + "\\ password=S3cretTail",
         "FATAL:  role \"" + std::string(50, 'u') + " password=S3c\" does not exist\n",
         "FATAL:  role \"" + std::string(50, 'u') + " password=********\" does not exist\n"},
        {"dbname=postgresql://u:S3cret@h/d", "FATAL:  database \"postgresql://u:S3cret@h/d\" does not exist\n",
         "FATAL:  database \"postgresql://u:********@h/d\" does not exist\n"},
        {"host='h1,h2 password=S3cret'",
         "could not translate host name \"h2 password=S3cret\" to address: Name or service not known\n",
         "could not translate host name \"h2 password=********\" to address: Name or service not known\n"},
        {"host=h password=abc=1 kw", "missing \"=\" after \"kw\" in connection info string\n",
         "missing \"=\" after \"********\" in connection info string\n"},
        // Where the message repeats nothing hidden, it stays byte for byte, quotes and all.
        {"host=h password=S3cret",
         "connection to server at \"h\" (10.0.0.1), port 5432 failed: FATAL:  password "
         "authentication failed for user \"postgres\"\n",
         "connection to server at \"h\" (10.0.0.1), port 5432 failed: FATAL:  password "
         "authentication failed for user \"postgres\"\n"},
        {"host=h port=1", "invalid connection option \"password=\"\n",
         "invalid connection option \"password=\"\n"},
        // A password the text holds only by chance, in the server's names, libpq's numbers and
        // wording, or a keyword libpq refuses, is not what the string hides.
        {"host=127.0.0.1 port=55433 password=no dbname=nosuchdb",
         "connection to server at \"127.0.0.1\", port 55433 failed: FATAL:  database \"nosuchdb\" does "
         "not exist\n",
         "connection to server at \"127.0.0.1\", port 55433 failed: FATAL:  database \"nosuchdb\" does "
         "not exist\n"},
        {"host=127.0.0.1 port=5432 user=postgres password=e",
         "connection to server at \"127.0.0.1\", port 5432 failed: FATAL:  password authentication "
         "failed for user \"postgres\"\n",
         "connection to server at \"127.0.0.1\", port 5432 failed: FATAL:  password authentication "
         "failed for user \"postgres\"\n"},
        {"host=127.0.0.1 port=55433 password=5 dbname=nosuchdb",
         "connection to server at \"127.0.0.1\", port 55433 failed: FATAL:  database \"nosuchdb\" does "
         "not exist\n",
         "connection to server at \"127.0.0.1\", port 55433 failed: FATAL:  database \"nosuchdb\" does "
         "not exist\n"},
        {"host=db password=db dbname=db", "FATAL:  database \"db\" does not exist\n",
         "FATAL:  database \"db\" does not exist\n"},
        {"ab=1 password=ab", "invalid connection option \"ab\"\n", "invalid connection option \"ab\"\n"},
        // A URI password with a raw '/' or '@': libpq reads a piece of it as the port, the host
        // or the database, refuses the string at a piece of it, or the server names it back.
        {"postgresql://u:Gh/Ij3tZq@h/db", "invalid integer value \"Gh\" for connection option \"port\"\n",
         "invalid integer value \"********\" for connection option \"port\"\n"},
        {"postgresql://u:Xy@Rt3tZq@127.0.0.1/db",
         "could not translate host name \"Rt3tZq@127.0.0.1\" to address: Name or service not known\n",
         "could not translate host name \"********@127.0.0.1\" to address: Name or service not known\n"},
        {"postgresql://h:5433/Ij3tZq@127.0.0.1:5432/postgres",
         "connection to server at \"h\" (10.0.0.1), port 5433 failed: FATAL:  database "
         "\"Ij3tZq@127.0.0.1:5432/postgres\" does not exist\n",
         "connection to server at \"h\" (10.0.0.1), port ******** failed: FATAL:  database "
         "\"********@127.0.0.1:5432/postgres\" does not exist\n"},
        {"postgresql://u:Ui/Op?3tZq@h/db", "missing key/value separator \"=\" in URI query parameter: \"3tZq@h/db\"\n",
         "missing key/value separator \"=\" in URI query parameter: \"********@h/db\"\n"},
        {"postgresql://h/db?password=Gh&Ij3tZq&port=5",
         "missing key/value separator \"=\" in URI query parameter: \"Ij3tZq\"\n",
         "missing key/value separator \"=\" in URI query parameter: \"********\"\n"},
        {"postgresql://h/db?password=Vb&Nm=3tZq", "invalid URI query parameter: \"Nm\"\n",
         "invalid URI query parameter: \"********\"\n"},
        // libpq names the key it decoded, which the string does not hold as such.
        {"postgresql://u:Gh/Ij?3tZ%71=1@h/db", "invalid URI query parameter: \"3tZq\"\n",
         "invalid URI query parameter: \"********\"\n"},
        // A password libpq reads whole leaves the host and names the server echoes as they are.
        {"postgresql://u:S3/cr3tZq@h:5/db?application_name=me@x",
         "connection to server at \"h\" (10.0.0.1), port 5 failed: FATAL:  role \"u\" does not exist\n",
         "connection to server at \"h\" (10.0.0.1), port 5 failed: FATAL:  role \"u\" does not exist\n"},
        {"postgresql://u:5@[::1:5432/db",
         "end of string reached when looking for matching \"]\" in IPv6 host address in URI: "
         "\"postgresql://u:5@[::1:5432/db\"\n",
         "end of string reached when looking for matching \"]\" in IPv6 host address in URI: "
         "\"postgresql://u:********@[::1:5432/db\"\n"},
    };
    for (const MaskedMessage& c : cases) {
        // A refusal in the table is libpq's own.
        char* error = nullptr;
        PQconninfoFree(PQconninfoParse(c.conninfo.c_str(), &error));
        if (error != nullptr) {
            EXPECT_EQ(c.message, error) << c.conninfo;
        }
        PQfreemem(error);
        EXPECT_EQ(mask_conninfo_passwords_in(c.message, c.conninfo), c.expected) << c.conninfo;
    }
}

}  // namespace
}  // namespace vantrel
