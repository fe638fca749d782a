#include "exec/conninfo_mask.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string_view>
#include <vector>

namespace vantrel {
namespace {

constexpr std::string_view mask = "********";
constexpr std::size_t npos = std::string_view::npos;

// A stretch [begin, end) of the connection string to show as the mask.
struct Span {
    std::size_t begin;
    std::size_t end;
};
using Spans = std::vector<Span>;

// libpq splits with isspace() in the process's locale; splitting the same way keeps a
// value from looking shorter here than libpq reads it.
bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

// Characters a mistyped keyword may carry around the word itself: "'password'", "password\".
bool is_keyword_noise(char c) { return is_blank(c) || c == '\'' || c == '"' || c == '\\'; }

// libpq reads only the exact lowercase keywords. Other spellings of them ("Password",
// "'password'", "xpassword") make libpq refuse the string, but what follows is still a
// secret. "passwordx" and "passwords" name nothing secret.
bool names_a_secret(std::string_view keyword) {
    static constexpr std::string_view other_secrets[] = {"oauth_client_secret", "scram_client_key",
                                                         "scram_server_key"};
    std::string plain;
    for (const char c : keyword) {
        if (!is_keyword_noise(c)) plain += ascii_lower(c);
    }
    return ends_with(plain, "password") ||
           std::find(std::begin(other_secrets), std::end(other_secrets), plain) != std::end(other_secrets);
}

// Position just past the '=' of a "password =" written inside a value, or npos.
std::size_t find_password_assignment(std::string_view text) {
    constexpr std::string_view word = "password";
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (!equals_ignoring_case(text.substr(i, word.size()), word)) continue;
        std::size_t after = i + word.size();
        while (after < text.size() && is_keyword_noise(text[after])) ++after;
        if (after < text.size() && text[after] == '=') return after + 1;
    }
    return npos;
}

bool is_uri(std::string_view text) {
    return starts_with(text, "postgresql://") || starts_with(text, "postgres://");
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const char lower = ascii_lower(c);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

std::string percent_decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// libpq takes user[:password] up to the first '@' before the first '/' (a '?' does not end
// it). Hiding up to the last such '@' also covers a password written with a raw '@'.
std::size_t userinfo_end(std::string_view uri, std::size_t authority) {
    return uri.substr(0, uri.find('/', authority)).rfind('@');
}

void add_userinfo_secret(std::string_view uri, std::size_t authority, Spans& secrets) {
    const std::size_t at = userinfo_end(uri, authority);
    if (at == npos) return;
    const std::size_t colon = uri.find(':', authority);
    if (colon < at) secrets.push_back({colon + 1, at});
}

// Every key=value that follows a '?' or '&' is a parameter candidate; libpq decodes the
// key, so "pass%77ord" names a password too. A value runs to the next '&'. libpq reads a
// host that starts with '[' up to its ']' whole, so a '?' or '&' inside starts nothing.
void add_parameter_secrets(std::string_view uri, std::size_t authority, Spans& secrets) {
    const std::size_t at = userinfo_end(uri, authority);
    const std::size_t hosts = at == npos ? authority : at + 1;
    bool in_hosts = true;
    for (std::size_t i = authority; i < uri.size(); ++i) {
        if (in_hosts && uri[i] == '[' && (i == hosts || (i > hosts && uri[i - 1] == ','))) {
            const std::size_t closing = uri.find(']', i);
            if (closing != npos) i = closing;
            continue;
        }
        if (i >= hosts && (uri[i] == '/' || uri[i] == '?')) in_hosts = false;
        if (uri[i] != '?' && uri[i] != '&') continue;
        const std::size_t end = std::min(uri.find('&', i + 1), uri.size());
        const std::size_t equals = uri.find('=', i + 1);
        if (equals < end && names_a_secret(percent_decoded(uri.substr(i + 1, equals - i - 1)))) {
            secrets.push_back({equals + 1, end});
        }
    }
}

Spans uri_secrets(std::string_view uri) {
    const std::size_t authority = uri.find("://") + 3;
    Spans secrets;
    add_userinfo_secret(uri, authority, secrets);
    add_parameter_secrets(uri, authority, secrets);
    return secrets;
}

// A key=value value as libpq reads it: a backslash keeps the next character (a last lone one
// is dropped). raw_begin[i] is where the raw characters that give read[i] begin.
struct UnescapedValue {
    std::string read;
    std::vector<std::size_t> raw_begin;

    explicit UnescapedValue(std::string_view raw) {
        for (std::size_t i = 0; i < raw.size(); ++i) {
            const std::size_t begin = i;
            if (raw[i] == '\\' && ++i == raw.size()) break;
            read += raw[i];
            raw_begin.push_back(begin);
        }
        raw_begin.push_back(raw.size());
    }
};

// Walks the key=value form as libpq does: keyword up to '=' or a blank, optional blanks
// around '=', then a value either bare (to the next blank) or single-quoted, with
// backslash escapes in both. Where libpq would stop with an error, the rest is hidden.
class KeyValueReader {
public:
    explicit KeyValueReader(std::string_view text) : text(text) {}

    Spans secrets() {
        skip_blanks();
        while (!at_end() && read_pair()) skip_blanks();
        return found;
    }

private:
    // False once everything from some point on is hidden.
    bool read_pair() {
        const std::size_t keyword_begin = pos;
        while (!at_end() && text[pos] != '=' && !is_blank(text[pos])) ++pos;
        const std::string_view keyword = text.substr(keyword_begin, pos - keyword_begin);
        skip_blanks();
        // No '=' after the keyword, or "=value" with no keyword: garbage from here on.
        if (keyword.empty() || at_end() || text[pos] != '=') return hide_rest_from(keyword_begin);
        ++pos;
        skip_blanks();
        if (!at_end() && text[pos] == '\'') return read_quoted_value(keyword);
        const std::size_t value_begin = pos;
        while (!at_end() && !is_blank(text[pos])) pos += text[pos] == '\\' ? 2 : 1;
        pos = std::min(pos, text.size());
        return take_value(keyword, value_begin, pos);
    }

    bool read_quoted_value(std::string_view keyword) {
        const std::size_t value_begin = ++pos;
        while (!at_end() && text[pos] != '\'') pos += text[pos] == '\\' ? 2 : 1;
        if (at_end()) return hide_rest_from(value_begin);  // unterminated: keep the quote only
        return take_value(keyword, value_begin, pos++);
    }

    bool take_value(std::string_view keyword, std::size_t begin, std::size_t end) {
        if (names_a_secret(keyword)) {
            found.push_back({begin, end});
            return true;
        }
        const std::string_view value = text.substr(begin, end - begin);
        // "password=" inside another value: an escaped blank, a misplaced quote or a nested
        // connection string. Whatever was meant, what follows may be the password.
        const std::size_t assignment = find_password_assignment(value);
        if (assignment != npos) return hide_rest_from(begin + assignment);
        // dbname may hold a whole URI, credentials included, and escapes may spell its prefix.
        const UnescapedValue read(value);
        if (is_uri(read.read)) {
            for (const Span& secret : uri_secrets(read.read)) {
                found.push_back({begin + read.raw_begin[secret.begin], begin + read.raw_begin[secret.end]});
            }
        }
        return true;
    }

    bool hide_rest_from(std::size_t begin) {
        found.push_back({begin, text.size()});
        return false;
    }

    void skip_blanks() {
        while (!at_end() && is_blank(text[pos])) ++pos;
    }

    bool at_end() const { return pos >= text.size(); }

    std::string_view text;
    std::size_t pos = 0;
    Spans found;
};

// Overlapping or touching spans as one, in order.
Spans merged_spans(Spans spans) {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    Spans merged;
    for (const Span& span : spans) {
        if (!merged.empty() && span.begin <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, span.end);
        } else {
            merged.push_back(span);
        }
    }
    return merged;
}

// Each merged span becomes one mask; an empty span still shows one, so an empty password
// looks like any other.
std::string with_spans_masked(std::string_view text, const Spans& spans) {
    std::string out;
    std::size_t copied = 0;
    for (const Span& span : merged_spans(spans)) {
        out += text.substr(copied, span.begin - copied);
        out += mask;
        copied = span.end;
    }
    out += text.substr(copied);
    return out;
}

Spans secret_spans(std::string_view conninfo) {
    return is_uri(conninfo) ? uri_secrets(conninfo) : KeyValueReader(conninfo).secrets();
}

// Where text holds needle, from 0 on; needle is not empty.
Spans occurrences(std::string_view text, std::string_view needle) {
    Spans found;
    for (std::size_t at = text.find(needle); at != npos; at = text.find(needle, at + 1)) {
        found.push_back({at, at + needle.size()});
    }
    return found;
}

// How long a prefix of text stands somewhere in within, in linear time (the Z-function of
// text, a NUL and within; neither holds a NUL): messages are short, but may repeat a long
// string many times over.
std::size_t longest_prefix_inside(std::string_view text, std::string_view within) {
    std::string joined;
    joined.reserve(text.size() + 1 + within.size());
    joined.append(text).append(1, '\0').append(within);
    std::vector<std::size_t> z(joined.size(), 0);
    std::size_t longest = 0;
    for (std::size_t i = 1, left = 0, right = 0; i < joined.size(); ++i) {
        if (i < right) z[i] = std::min(right - i, z[i - left]);
        while (i + z[i] < joined.size() && joined[z[i]] == joined[i + z[i]]) ++z[i];
        if (i + z[i] > right) {
            left = i;
            right = i + z[i];
        }
        if (i > text.size()) longest = std::max(longest, z[i]);
    }
    return longest;
}

// libpq quotes the part of a refused string where it stopped: a keyword, a value, a URI's
// parameter or host, cut where its own reading cuts, which need not be where the masker cut.
// The longest quoted fragment from each quote that stands inside the hidden text is hidden
// too, when it has two bytes or more: shorter ones are libpq's own punctuation ("=", "]").
// hidden_text: every hidden stretch, each followed by a NUL.
void add_quoted_fragments(std::string_view message, std::string_view hidden_text, Spans& secrets) {
    std::vector<std::size_t> quotes;
    for (std::size_t at = message.find('"'); at != npos; at = message.find('"', at + 1)) quotes.push_back(at);
    for (std::size_t open = 0; open < quotes.size(); ++open) {
        const std::size_t begin = quotes[open] + 1;
        const std::size_t inside = longest_prefix_inside(message.substr(begin), hidden_text);
        std::size_t end = begin;
        for (std::size_t close = open + 1; close < quotes.size() && quotes[close] <= begin + inside; ++close) {
            end = quotes[close];
        }
        if (end >= begin + 2) secrets.push_back({begin, end});
    }
}

// A value that swallowed the password comes back from the server as a database or role name:
// after each "password=" of the message, as much of a hidden text as stands there.
void add_echoed_assignments(std::string_view message, const std::vector<std::string_view>& hidden,
                            Spans& secrets) {
    for (std::size_t from = 0; from < message.size();) {
        const std::size_t assignment = find_password_assignment(message.substr(from));
        if (assignment == npos) return;
        const std::size_t begin = from + assignment;
        std::size_t longest = 0;
        for (const std::string_view text : hidden) {
            std::size_t same = 0;
            while (same < text.size() && begin + same < message.size() && message[begin + same] == text[same]) ++same;
            longest = std::max(longest, same);
        }
        if (longest > 0) secrets.push_back({begin, begin + longest});
        from = begin;
    }
}

}  // namespace

std::string mask_conninfo_passwords(const std::string& conninfo) {
    return with_spans_masked(conninfo, secret_spans(conninfo));
}

std::string mask_conninfo_passwords_in(const std::string& message, const std::string& conninfo) {
    const std::string_view text = conninfo;
    const Spans spans = secret_spans(text);
    std::vector<std::string_view> hidden;
    for (const Span& span : spans) {
        if (span.end > span.begin) hidden.push_back(text.substr(span.begin, span.end - span.begin));
    }
    if (hidden.empty()) return message;
    Spans secrets;
    for (const std::string_view each : hidden) {
        for (const Span& found : occurrences(message, each)) secrets.push_back(found);
    }
    // Overlapping stretches once each, so that a long string hidden many times over costs
    // no more than the string.
    std::string hidden_text;
    for (const Span& merged : merged_spans(spans)) {
        hidden_text.append(text.substr(merged.begin, merged.end - merged.begin)).append(1, '\0');
    }
    add_quoted_fragments(message, hidden_text, secrets);
    add_echoed_assignments(message, hidden, secrets);
    return secrets.empty() ? message : with_spans_masked(message, secrets);
}

}  // namespace vantrel
