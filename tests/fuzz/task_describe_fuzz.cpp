// The task's one-line description read back: decoding its quoted values must give the
// members exactly (the path as UTF-8), the time and drop flag as stored, and never the
// connection string. A path that is not UTF-16 makes describe() throw and nothing else.
//
// Input layout: [drop & lengths byte][time: 4 bytes LE][query length][path length in units]
// then the query bytes, the path units (LE) and the separator bytes (the rest).

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "task/task.h"
#include "vantrel.h"

namespace {

using vantrel::fuzz::printable;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::string bytes(std::size_t count) {
        count = std::min(count, size - pos);
        std::string out(reinterpret_cast<const char*>(data + pos), count);
        pos += count;
        return out;
    }
    std::string rest() { return bytes(size - pos); }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
};

// A strict reader of the description's grammar; nullopt where the text leaves it.
class Description {
public:
    explicit Description(std::string_view text) : text(text) {}

    bool literal(std::string_view expected) {
        if (text.substr(pos, expected.size()) != expected) return false;
        pos += expected.size();
        return true;
    }

    // A double-quoted value in which only '"' and '\' are escaped, each by one backslash.
    std::optional<std::string> quoted() {
        if (!literal("\"")) return std::nullopt;
        std::string value;
        while (pos < text.size()) {
            const char c = text[pos++];
            if (c == '"') return value;
            if (c == '\\') {
                if (pos == text.size() || (text[pos] != '"' && text[pos] != '\\')) return std::nullopt;
                value += text[pos++];
            } else {
                value += c;
            }
        }
        return std::nullopt;
    }

    bool at_end() const { return pos == text.size(); }

private:
    std::string_view text;
    std::size_t pos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    vantrel::Task task;
    const std::uint8_t flags = input.byte();
    task.drop = flags & 1;
    std::uint32_t time = 0;
    for (int shift = 0; shift < 32; shift += 8) time |= static_cast<std::uint32_t>(input.byte()) << shift;
    task.time = static_cast<std::int32_t>(time);
    const std::size_t query_size = input.byte();
    const std::size_t path_units = input.byte();
    task.query = input.bytes(query_size);
    const std::string path_bytes = input.bytes(path_units * 2);
    for (std::size_t i = 0; i + 1 < path_bytes.size(); i += 2) {
        task.path += static_cast<vantrel_char>(static_cast<unsigned char>(path_bytes[i]) |
                                               (static_cast<unsigned char>(path_bytes[i + 1]) << 8));
    }
    task.sep = input.rest();
    const std::string secret = "password=Fz9SecretMarker";
    task.conninfo = "host=db " + secret;
    const vantrel::Task before = task;

    bool path_valid = true;
    std::string path_utf8;
    try {
        path_utf8 = vantrel::to_utf8(task.path);
    } catch (const std::range_error&) {
        path_valid = false;
    }

    std::string line;
    try {
        line = task.describe();
        FUZZ_REQUIRE(path_valid, "described a path that is not UTF-16");
    } catch (const std::range_error& error) {
        FUZZ_REQUIRE(!path_valid, std::string("refused a valid path: ") + error.what());
        FUZZ_REQUIRE(std::string(error.what()) == "bad conversion", "unexpected reason");
        return 0;
    }
    const std::string where = " in " + printable(line);

    Description description(line);
    std::optional<std::string> query, path, sep, time_text, drop_text;
    const bool parsed = description.literal("{\"query\":") && (query = description.quoted()) &&
                        description.literal(", \"path\":") && (path = description.quoted()) &&
                        description.literal(", \"sep\":") && (sep = description.quoted()) &&
                        description.literal(", \"time\":") && (time_text = description.quoted()) &&
                        description.literal(", \"drop\":") && (drop_text = description.quoted()) &&
                        description.literal("}") && description.at_end();
    FUZZ_REQUIRE(parsed, "description does not parse" + where);
    FUZZ_REQUIRE(*query == task.query, "query" + where);
    FUZZ_REQUIRE(*path == path_utf8, "path" + where);
    FUZZ_REQUIRE(*sep == task.sep, "sep" + where);
    FUZZ_REQUIRE(*time_text == std::to_string(task.time), "time" + where);
    FUZZ_REQUIRE(*drop_text == (task.drop ? "True" : "False"), "drop" + where);
    // The connection string may hold a password: it is not part of the line, unless a member
    // itself carries the same text.
    const bool member_has_secret = (task.query + path_utf8 + task.sep).find("Fz9SecretMarker") != std::string::npos;
    FUZZ_REQUIRE(member_has_secret || line.find("Fz9SecretMarker") == std::string::npos, "conninfo shown" + where);
    // Describing changes nothing.
    FUZZ_REQUIRE(task.query == before.query && task.path == before.path && task.sep == before.sep &&
                     task.conninfo == before.conninfo,
                 "describe() changed the task");
    return 0;
}
