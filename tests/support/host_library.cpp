#include "support/host_library.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "support/utf16_text.h"

namespace vantrel::test {

std::map<std::string, Scenario>& scenarios();

std::map<std::string, Scenario>& scenarios() {
    static std::map<std::string, Scenario> registry;
    return registry;
}

ScenarioRegistration::ScenarioRegistration(const char* name, Scenario scenario) {
    scenarios()[name] = scenario;
}

Text text(const std::string& utf8) {
    const std::u16string units = utf16(utf8);
    return Text(units.begin(), units.end());
}

std::string utf8(const Text& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = static_cast<char16_t>(text[i]);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char16_t>(text[++i]) - 0xDC00);
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        const int length = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        out += static_cast<char>((0xF00 >> length) | (cp >> (6 * (length - 1))));
        for (int k = length - 2; k >= 0; --k) out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
    }
    return out;
}

unsigned time_scale() {
    const char* value = std::getenv("VANTREL_TEST_TIME_SCALE");
    const unsigned long scale = value == nullptr ? 1 : std::strtoul(value, nullptr, 10);
    return scale == 0 ? 1 : static_cast<unsigned>(scale);
}

HostRun run_scenario(const std::string& scenario, const Args& args, int timeout_seconds) {
    Child child(scenario, args);
    return child.wait(timeout_seconds);
}


namespace {

// Once the filter has chosen the cases, before they run: at the top of the output, where
// CTest's log keeps it whatever the length. A listing never gets here (gtest_discover_tests reads every
// line of it as a test's name).
class CaseCount : public testing::EmptyTestEventListener {
    void OnTestIterationStart(const testing::UnitTest& unit_test, int iteration) override {
        if (iteration > 0) return;
        std::printf("host-level cases run: %d\n", unit_test.test_to_run_count());
        std::fflush(stdout);
    }
};

}  // namespace

int host_main(int argc, char** argv) {
    int scenario_code = 0;
    if (run_scenario_child(scenario_code)) return scenario_code;
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new CaseCount);  // the list owns it
    return RUN_ALL_TESTS();
}

}  // namespace vantrel::test
