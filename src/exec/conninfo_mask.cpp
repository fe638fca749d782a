#include "exec/conninfo_mask.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
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

struct OptionsFreer {
    void operator()(PQconninfoOption* options) const noexcept { PQconninfoFree(options); }
};
using OptionsHandle = std::unique_ptr<PQconninfoOption, OptionsFreer>;

bool is_secret(const PQconninfoOption& option) { return option.dispchar != nullptr && option.dispchar[0] == '*'; }

// The keywords libpq never shows ('*'). Should libpq run out of memory there, its password is
// the one not to miss.
std::vector<std::string> read_secret_keywords() {
    std::vector<std::string> found;
    const OptionsHandle defaults(PQconndefaults());
    for (const PQconninfoOption* option = defaults.get(); option && option->keyword; ++option) {
        if (is_secret(*option)) found.emplace_back(option->keyword);
    }
    if (found.empty()) found.emplace_back("password");
    return found;
}

// Read once: libpq's list does not change while it runs.
const std::vector<std::string>& secret_keywords() {
    // Never destroyed: at an exit without a stop, workers still mask connection strings after
    // the runtime has run the exit handlers registered after this list was made.
    union Lasting {
        Lasting() : list(read_secret_keywords()) {}
        ~Lasting() {}
        std::vector<std::string> list;
    };
    static const Lasting keywords;
    return keywords.list;
}

// Characters a mistyped keyword may carry around the word itself: "'password'", "password\".
bool is_keyword_noise(char c) { return is_blank(c) || c == '\'' || c == '"' || c == '\\'; }

// libpq reads only the exact lowercase keywords. Other spellings of them ("Password",
// "'password'", "xpassword") make libpq refuse the string, but what follows is still a
// secret. "passwordx" and "passwords" name nothing secret.
bool names_a_secret(std::string_view keyword) {
    std::string plain;
    for (const char c : keyword) {
        if (!is_keyword_noise(c)) plain += ascii_lower(c);
    }
    const std::vector<std::string>& secrets = secret_keywords();
    return std::any_of(secrets.begin(), secrets.end(),
                       [&](const std::string& secret) { return ends_with(plain, secret); });
}

// The first secret keyword and '=' written inside a value ("password =", any case), from the
// word to just past the '='; begin is npos when there is none.
Span find_password_assignment(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        for (const std::string& word : secret_keywords()) {
            if (!equals_ignoring_case(text.substr(i, word.size()), word)) continue;
            std::size_t after = i + word.size();
            while (after < text.size() && is_keyword_noise(text[after])) ++after;
            if (after < text.size() && text[after] == '=') return {i, after + 1};
        }
    }
    return {npos, npos};
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

// The first separator at or after from that starts a parameter libpq reads: a keyword libpq
// knows (a word, perhaps percent-encoded) and '='. npos when none.
std::size_t next_parameter(std::string_view uri, std::size_t from, char separator) {
    constexpr std::string_view word = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_%";
    for (std::size_t at = uri.find(separator, from); at != npos; at = uri.find(separator, at + 1)) {
        const std::size_t equals = uri.find_first_not_of(word, at + 1);
        if (equals == npos || equals == at + 1 || uri[equals] != '=') continue;
        // No user, nor host, for libpq to read the word as.
        const std::string query = "postgresql:///?" + std::string(uri.substr(at + 1, equals - at));
        if (OptionsHandle(PQconninfoParse(query.c_str(), nullptr)) != nullptr) return at;
    }
    return npos;
}

// libpq takes user[:password] up to the first '@' before the first '/'. A password written
// with a raw '@', '/' or '?' reaches further, up to the last '@' before the query libpq reads,
// unless a bracketed host opens the authority: the ':' there is an address's.
std::size_t userinfo_end(std::string_view uri, std::size_t authority) {
    const std::size_t read = uri.substr(0, uri.find('/', authority)).rfind('@');
    if (uri.substr(authority, 1) == "[" && uri.find(']', authority) != npos) return read;
    const std::size_t reach = uri.substr(0, next_parameter(uri, authority, '?')).rfind('@');
    return reach == npos || (read != npos && read > reach) ? read : reach;
}

void add_userinfo_secret(std::string_view uri, std::size_t authority, std::size_t at, Spans& secrets) {
    if (at == npos) return;
    const std::size_t colon = uri.find(':', authority);
    if (colon < at) secrets.push_back({colon + 1, at});
}

// Every key=value that follows a '?' or '&' is a parameter candidate; libpq decodes the
// key, so "pass%77ord" names a password too. A secret runs to the next '&' that starts a
// parameter libpq reads, so a raw '&' in it hides what follows. libpq reads a host that
// starts with '[' up to its ']' whole, so a '?' or '&' inside starts nothing.
void add_parameter_secrets(std::string_view uri, std::size_t authority, std::size_t at, Spans& secrets) {
    const std::size_t hosts = at == npos ? authority : at + 1;
    bool in_hosts = true;
    std::size_t secret_end = 0;  // a later secret that starts before it ends there too
    for (std::size_t i = authority; i < uri.size(); ++i) {
        if (in_hosts && uri[i] == '[' && (i == hosts || (i > hosts && uri[i - 1] == ','))) {
            const std::size_t closing = uri.find(']', i);
            if (closing != npos) i = closing;
            continue;
        }
        if (i >= hosts && (uri[i] == '/' || uri[i] == '?')) in_hosts = false;
        if (uri[i] != '?' && uri[i] != '&') continue;
        const std::size_t equals = uri.find('=', i + 1);
        if (equals >= uri.find('&', i + 1) || !names_a_secret(percent_decoded(uri.substr(i + 1, equals - i - 1)))) {
            continue;
        }
        if (secret_end <= equals) secret_end = std::min(next_parameter(uri, equals, '&'), uri.size());
        secrets.push_back({equals + 1, secret_end});
    }
}

Spans uri_secrets(std::string_view uri) {
    const std::size_t authority = uri.find("://") + 3;
    const std::size_t at = userinfo_end(uri, authority);
    Spans secrets;
    add_userinfo_secret(uri, authority, at, secrets);
    add_parameter_secrets(uri, authority, at, secrets);
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
        const Span assignment = find_password_assignment(value);
        if (assignment.begin != npos) return hide_rest_from(begin + assignment.end);
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

// libpq's own reading of a connection string: its options, or the text it refuses it with.
struct Reading {
    OptionsHandle options;
    std::string refusal;
};

Reading libpq_reading(const std::string& conninfo) {
    char* error = nullptr;
    Reading reading{OptionsHandle(PQconninfoParse(conninfo.c_str(), &error)), {}};
    if (error != nullptr) {
        const std::unique_ptr<char, decltype(&PQfreemem)> owned(error, &PQfreemem);
        reading.refusal = error;
    }
    return reading;
}

// Z-function of pattern, a NUL and text (neither holds a NUL): entry i tells how far text
// from i - pattern.size() - 1 on agrees with pattern. Linear, since messages may repeat a long
// string many times over.
std::vector<std::size_t> agreement(std::string_view pattern, std::string_view text) {
    std::string joined;
    joined.reserve(pattern.size() + 1 + text.size());
    joined.append(pattern).append(1, '\0').append(text);
    std::vector<std::size_t> z(joined.size(), 0);
    for (std::size_t i = 1, left = 0, right = 0; i < joined.size(); ++i) {
        if (i < right) z[i] = std::min(right - i, z[i - left]);
        while (i + z[i] < joined.size() && joined[z[i]] == joined[i + z[i]]) ++z[i];
        if (i + z[i] > right) {
            left = i;
            right = i + z[i];
        }
    }
    z.erase(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(pattern.size() + 1));
    return z;
}

std::size_t longest_prefix_inside(std::string_view text, std::string_view within) {
    const std::vector<std::size_t> z = agreement(text, within);
    return z.empty() ? 0 : *std::max_element(z.begin(), z.end());
}

std::vector<std::size_t> positions_of(std::string_view needle, std::string_view text) {
    std::vector<std::size_t> found;
    const std::vector<std::size_t> z = agreement(needle, text);
    for (std::size_t i = 0; i < z.size(); ++i) {
        if (z[i] == needle.size()) found.push_back(i);
    }
    return found;
}

// A refused string: libpq quotes the keyword, URI, parameter or token where it stopped, as
// written. Each quoted fragment that stands in the string has, at every place it stands, its
// hidden bytes hidden. A fragment that libpq quotes the same way, at the same place, when it
// refuses the masked string owes nothing to the hidden bytes and stays as it is.
Spans quoted_secrets(std::string_view message, std::string_view conninfo, const Spans& hidden,
                     std::string_view masked_refusal) {
    std::vector<std::size_t> quotes;
    for (std::size_t at = message.find('"'); at != npos; at = message.find('"', at + 1)) quotes.push_back(at);
    Spans secrets;
    // Any quote may open a fragment, since the string may hold quotes and libpq's own
    // wording; one that opens inside a fragment already read (a URI holding quotes) does not.
    std::size_t read_up_to = 0;
    for (std::size_t open = 0; open < quotes.size(); ++open) {
        const std::size_t begin = quotes[open] + 1;
        const std::size_t reach = begin + longest_prefix_inside(message.substr(begin), conninfo);
        std::size_t close = open + 1;
        while (close < quotes.size() && quotes[close] <= reach) ++close;
        if (close == open + 1) continue;  // nothing up to a quote stands in the string
        const std::size_t end = quotes[close - 1];
        if (end <= read_up_to) continue;
        read_up_to = end;
        const std::string_view quoted = message.substr(quotes[open], end + 1 - quotes[open]);
        const bool same_when_masked = quotes[open] <= masked_refusal.size() &&
                                      masked_refusal.substr(quotes[open], quoted.size()) == quoted;
        if (!same_when_masked) {
            const std::string_view fragment = message.substr(begin, end - begin);
            for (const std::size_t place : positions_of(fragment, conninfo)) {
                for (const Span& span : hidden) {
                    const std::size_t from = std::max(span.begin, place);
                    const std::size_t to = std::min(span.end, place + fragment.size());
                    if (from < to) secrets.push_back({begin + from - place, begin + to - place});
                }
            }
        }
    }
    return secrets;
}

bool is_alnum_at(std::string_view text, std::size_t at) {
    return at < text.size() && std::isalnum(static_cast<unsigned char>(text[at])) != 0;
}

// Whether text[at, at + size) is no part of a longer word.
bool stands_apart(std::string_view text, std::size_t at, std::size_t size) {
    return (at == 0 || !is_alnum_at(text, at - 1)) && !is_alnum_at(text, at + size);
}

// An accepted string: only a value that swallowed a password (a name with "password=" in
// it, a URI with credentials given as a database name, a URI's host, port or name that took
// in part of a password written with a raw '/' or '@') comes back, from the server or from
// libpq, and it comes back as libpq read it. After each repetition of what leads up to the
// secret in that value (or of the secret itself where it stands apart from the words around
// it, when nothing leads to it), as much of the secret as stands there is hidden: servers cut
// long names short.
void add_echoed_secret(std::string_view message, std::string_view lead, std::string_view secret,
                       Spans& secrets) {
    if (secret.empty()) return;
    const std::string_view anchor = lead.empty() ? secret : lead;
    for (std::size_t at = message.find(anchor); at != npos; at = message.find(anchor, at + 1)) {
        if (lead.empty() && !stands_apart(message, at, secret.size())) continue;
        const std::size_t begin = at + lead.size();
        std::size_t same = 0;
        while (same < secret.size() && begin + same < message.size() && message[begin + same] == secret[same]) ++same;
        if (same > 0) secrets.push_back({begin, begin + same});
    }
}

// The whole value up to the secret leads to it, or, in a list libpq splits at commas (hosts,
// ports), its last item.
void add_echoed_stretch(std::string_view message, std::string_view value, Span stretch, Spans& secrets) {
    const std::size_t comma = value.substr(0, stretch.begin).rfind(',');
    const std::size_t lead = comma == npos ? 0 : comma + 1;
    add_echoed_secret(message, value.substr(lead, stretch.begin - lead),
                      value.substr(stretch.begin, stretch.end - stretch.begin), secrets);
}

Spans echoed_secrets(std::string_view message, const PQconninfoOption* options) {
    Spans secrets;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        // Servers never see what libpq never shows.
        if (option->val == nullptr || is_secret(*option)) continue;
        const std::string_view value = option->val;
        const Span assignment = find_password_assignment(value);
        if (assignment.begin != npos) {
            add_echoed_stretch(message, value, {assignment.end, value.size()}, secrets);
        } else if (is_uri(value)) {
            for (const Span& span : uri_secrets(value)) add_echoed_stretch(message, value, span, secrets);
        }
    }
    return secrets;
}

constexpr char marker = '\x01';

// The URI with every hidden byte that does not shape libpq's reading of it (all but
// : / @ ? & = [ ] ,) as the marker, and every hidden percent escape as one of the marker.
std::string with_hidden_bytes_marked(std::string_view uri) {
    std::string marked(uri);
    for (const Span& span : uri_secrets(uri)) {
        for (std::size_t i = span.begin; i < span.end; ++i) {
            if (marked[i] == '%' && i + 2 < span.end) {
                marked.replace(i + 1, 2, "01");
                i += 2;
            } else if (std::string_view(":/@?&=[],%").find(marked[i]) == npos) {
                marked[i] = marker;
            }
        }
    }
    return marked;
}

// An accepted URI: libpq reads the marked URI the same way, and so where a value read from it
// differs, hidden bytes went: into a value other than the password when the password was
// written with a raw '/' or '@'. Should libpq read the marked URI otherwise, every value
// counts as hidden.
void add_echoed_uri_pieces(std::string_view message, const std::string& uri, const PQconninfoOption* options,
                           Spans& secrets) {
    const Reading marked = libpq_reading(with_hidden_bytes_marked(uri));
    for (std::size_t i = 0; options[i].keyword != nullptr; ++i) {
        if (options[i].val == nullptr || is_secret(options[i])) continue;
        const std::string_view value = options[i].val;
        const char* const marked_value = marked.options ? marked.options.get()[i].val : nullptr;
        if (marked_value == nullptr || std::strlen(marked_value) != value.size()) {
            add_echoed_secret(message, {}, value, secrets);
            continue;
        }
        std::size_t first = 0;
        std::size_t end = value.size();
        while (first < end && value[first] == marked_value[first]) ++first;
        while (end > first && value[end - 1] == marked_value[end - 1]) --end;
        if (first < end) add_echoed_stretch(message, value, {first, end}, secrets);
    }
}

// A refused URI whose marked twin libpq refuses with the same text but for markers: those
// stand where the text repeats hidden bytes, also where libpq decoded them (a parameter's key).
void add_marked_refusal(std::string_view message, const std::string& uri, Spans& secrets) {
    const std::string marked = libpq_reading(with_hidden_bytes_marked(uri)).refusal;
    if (marked.size() != message.size()) return;
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message[i] != marked[i] && marked[i] != marker) return;
    }
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message[i] != marked[i]) secrets.push_back({i, i + 1});
    }
}

}  // namespace

std::string mask_conninfo_passwords(const std::string& conninfo) {
    return with_spans_masked(conninfo, secret_spans(conninfo));
}

std::string mask_conninfo_passwords_in(const std::string& message, const std::string& conninfo) {
    // libpq reads up to the first NUL, and so only that part can come back.
    const std::string text = conninfo.c_str();
    const Reading reading = libpq_reading(text);
    Spans secrets;
    if (reading.options != nullptr) {
        secrets = echoed_secrets(message, reading.options.get());
        if (is_uri(text)) add_echoed_uri_pieces(message, text, reading.options.get(), secrets);
    } else {
        const Spans hidden = secret_spans(text);
        const std::string masked = with_spans_masked(text, hidden);
        if (masked == text) return message;
        const std::string masked_refusal = libpq_reading(masked).refusal;
        if (masked_refusal == message) return message;
        secrets = quoted_secrets(message, text, merged_spans(hidden), masked_refusal);
        if (is_uri(text)) add_marked_refusal(message, text, secrets);
    }
    return secrets.empty() ? message : with_spans_masked(message, secrets);
}

}  // namespace vantrel
