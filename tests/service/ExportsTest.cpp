// The shared library as a caller meets it: loaded by name, each export bound by name.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "Modem.h"
#include "Tarvik.h"
#include "support/TempPortDir.h"

namespace {

const std::set<std::string> kExports = {
    "SMSStartService", "SMSStopSerice", "SMSSendMessage",    "SMSSendMessage2",
    "SMSGetLastError", "SMSReport",     "SMSGetNextMessage", "SMSSetCountryCode",
    "SMSCounts",       "SMSCommand",
};

std::string RunCommand(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string out;
    if (!pipe) {
        return out;
    }
    std::array<char, 4096> chunk{};
    size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) {
        out.append(chunk.data(), n);
    }
    return out;
}

class LoadedLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        handle = ::dlopen(TARVIK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << ::dlerror();
    }
    void TearDown() override {
        if (handle != nullptr) {
            ::dlclose(handle);
        }
    }

    template <typename Fn>
    Fn* Bind(const char* name) {
        void* symbol = ::dlsym(handle, name);
        EXPECT_NE(symbol, nullptr) << name;
        return reinterpret_cast<Fn*>(symbol);
    }

    void* handle = nullptr;
};

TEST_F(LoadedLibrary, BeforeAStartTheExportsAnswerNotStarted) {
    auto* start = Bind<decltype(SMSStartService)>("SMSStartService");
    auto* stop = Bind<decltype(SMSStopSerice)>("SMSStopSerice");
    auto* send = Bind<decltype(SMSSendMessage)>("SMSSendMessage");
    auto* send2 = Bind<decltype(SMSSendMessage2)>("SMSSendMessage2");
    auto* lastError = Bind<decltype(SMSGetLastError)>("SMSGetLastError");
    auto* report = Bind<decltype(SMSReport)>("SMSReport");
    auto* next = Bind<decltype(SMSGetNextMessage)>("SMSGetNextMessage");
    auto* country = Bind<decltype(SMSSetCountryCode)>("SMSSetCountryCode");
    auto* counts = Bind<decltype(SMSCounts)>("SMSCounts");
    auto* command = Bind<decltype(SMSCommand)>("SMSCommand");
    ASSERT_FALSE(HasFailure());

    SendReport sendReport;
    std::memset(&sendReport, 0x5A, sizeof sendReport);
    RecvMsg message;
    std::memset(&message, 0x5A, sizeof message);
    char text[1024];
    std::memset(text, 0x5A, sizeof text);
    char reply[1025];
    std::memset(reply, 0x5A, sizeof reply);

    EXPECT_EQ(send("hello", "13912345678"), -1);
    EXPECT_EQ(send2("hello", "2025550100", "1"), -1);
    EXPECT_EQ(send2("hello", "2025550100", nullptr), -1);
    EXPECT_EQ(report(&sendReport), -1);
    EXPECT_EQ(next(&message), -1);
    EXPECT_EQ(country(86), -1);
    EXPECT_EQ(counts(), -1);
    EXPECT_EQ(command("AT\r\n", reply, 0), -1);
    EXPECT_EQ(lastError(text), 0);
    EXPECT_EQ(stop(), 1);
    EXPECT_EQ(stop(), 1);

    // Nothing was written into the caller's buffers.
    for (unsigned char byte :
         std::string(reinterpret_cast<char*>(&sendReport), sizeof sendReport)) {
        ASSERT_EQ(byte, 0x5A);
    }
    for (unsigned char byte : std::string(reinterpret_cast<char*>(&message), sizeof message)) {
        ASSERT_EQ(byte, 0x5A);
    }
    EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, '\x5A'));
    EXPECT_EQ(std::string(reply, sizeof reply), std::string(sizeof reply, '\x5A'));

    // A start on a port with no device fails and leaves the service stopped.
    EXPECT_EQ(start(1000, 115200, 2, 8, 0, 1, "card"), 0);
    EXPECT_EQ(counts(), -1);
}

// Unloading the library while its service runs stops the service and frees the port.
TEST_F(LoadedLibrary, UnloadingWhileRunningStopsTheServiceAndFreesThePort) {
    TestSupport::TempPortDir dir;
    ModemSim::CModem modem(dir.Path(), 3, ModemSim::ProfileFor("MU609"));
    for (int load = 0; load < 2; ++load) {
        auto* start = Bind<decltype(SMSStartService)>("SMSStartService");
        auto* send = Bind<decltype(SMSSendMessage)>("SMSSendMessage");
        auto* counts = Bind<decltype(SMSCounts)>("SMSCounts");
        ASSERT_FALSE(HasFailure());
        ASSERT_EQ(start(3, 115200, 2, 8, 0, 1, "card"), 1) << "load " << load;
        EXPECT_EQ(send("hello", "13912345678"), 1);
        EXPECT_GE(counts(), 0);
        ASSERT_EQ(::dlclose(handle), 0);
        handle = ::dlopen(TARVIK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << ::dlerror();
    }
}

TEST(SharedObject, ExportsExactlyTheTenFunctionsAndCarriesASoname) {
    std::string symbols = RunCommand(std::string("nm -D --defined-only --format=just-symbols ") +
                                     TARVIK_LIBRARY_PATH);
    std::set<std::string> exported;
    std::istringstream lines(symbols);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            exported.insert(line);
        }
    }
    EXPECT_EQ(exported, kExports);

    std::string headers = RunCommand(std::string("objdump -p ") + TARVIK_LIBRARY_PATH);
    EXPECT_NE(headers.find("SONAME               libTarvik.so.1"), std::string::npos) << headers;
}

TEST(SharedObject, IsBuiltHardened) {
    const std::string dynamic = RunCommand(std::string("readelf -d ") + TARVIK_LIBRARY_PATH);
    EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos) << dynamic;
    const std::string segments = RunCommand(std::string("readelf -lW ") + TARVIK_LIBRARY_PATH);
    EXPECT_NE(segments.find("GNU_RELRO"), std::string::npos) << segments;
    const std::size_t stack = segments.find("GNU_STACK");
    ASSERT_NE(stack, std::string::npos) << segments;
    const std::string stackLine = segments.substr(stack, segments.find('\n', stack) - stack);
    EXPECT_EQ(stackLine.find("RWE"), std::string::npos) << stackLine;

    const std::string symbols =
        RunCommand(std::string("nm -D --undefined-only ") + TARVIK_LIBRARY_PATH);
    EXPECT_NE(symbols.find("__stack_chk_fail"), std::string::npos);
#ifdef TARVIK_FORTIFIED
    // Fortified string and formatting functions end in "_chk" (__vsnprintf_chk@GLIBC_...).
    bool fortified = false;
    std::istringstream lines(symbols);
    for (std::string line; std::getline(lines, line);) {
        line = line.substr(0, line.find('@'));
        fortified = fortified || (line.size() > 4 && line.compare(line.size() - 4, 4, "_chk") == 0);
    }
    EXPECT_TRUE(fortified) << symbols;
#endif
}

}  // namespace
