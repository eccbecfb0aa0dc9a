// The sound-server tests are registered once per server, each copy told by
// --sound-server=NAME which server it is for: it runs only where scripts/with-sound-server
// says (in TALLYVOX_SOUND_SERVER) that server is the one here, so a failure names the server
// it happened on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

class SoundServerEnvironment : public ::testing::Environment {
public:
    explicit SoundServerEnvironment(std::string expected)
        : expected_(std::move(expected)) {}
    void SetUp() override {
        const char* running = std::getenv("TALLYVOX_SOUND_SERVER");
        const std::string here = running ? running : "";
        if (!expected_.empty() && expected_ != here)
            GTEST_SKIP() << "these run on " << expected_ << "; the sound server here is "
                         << (here.empty() ? "unknown" : here);
    }

private:
    std::string expected_;
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string expected;
    constexpr std::string_view flag = "--sound-server=";
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]).starts_with(flag))
            expected = std::string_view(argv[i]).substr(flag.size());
    ::testing::AddGlobalTestEnvironment(new SoundServerEnvironment(expected));
    return RUN_ALL_TESTS();
}
