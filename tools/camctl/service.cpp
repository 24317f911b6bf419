// camctl reg, mem, raw-command and reinit: the service items of the property set.
#include <cstdio>
#include <memory>

#include "tools/camctl/command.h"
#include "tools/common/arguments.h"

namespace camctl {

namespace {

using camdrv::CameraItem;

// The register shadow and the register write know numbers 0..1023; a larger one would reach the
// camera as another register.
constexpr int64_t kLastRegister = 1023;
// Camera memory addresses are 16 bits.
constexpr int64_t kLastAddress = 0xFFFF;
// A raw command packet carries its code and 63 bytes.
constexpr size_t kRawCommandBytes = 63;

int64_t IntegerOf(const std::string& text) {
    int64_t value = 0;
    camtools::ParseInteger(text, INT64_MIN, INT64_MAX, &value);
    return value;
}

// N=V with a register number and a 32-bit value.
std::string ParseRegisterWrite(const std::string& text, int64_t* number, int64_t* value) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos ||
        !camtools::ParseInteger(text.substr(0, equals), 0, kLastRegister, number) ||
        !camtools::ParseInteger(text.substr(equals + 1), INT32_MIN, INT32_MAX, value)) {
        return "reg write wants N=V with a register number N from 0 to 1023 and a 32-bit value V, "
               "not '" +
               text + "'";
    }
    return "";
}

std::string ReadRegisters(camtools::CameraFilter& filter, const std::vector<std::string>& numbers) {
    for (const std::string& text : numbers) {
        const LONG number = (LONG)IntegerOf(text);
        NTSTATUS status = filter.Set(CameraItem::RegisterValue, number);
        LONG value = 0;
        if (NT_SUCCESS(status))
            status = filter.Get(CameraItem::RegisterValue, &value);
        if (!NT_SUCCESS(status))
            return camtools::PropertyFailure(CameraItem::RegisterValue, false, status);
        std::printf("%d=%d\n", (int)number, (int)value);
    }
    return "";
}

std::string WriteRegisters(camtools::CameraFilter& filter, const std::vector<std::string>& writes) {
    for (const std::string& text : writes) {
        int64_t number = 0;
        int64_t value = 0;
        ParseRegisterWrite(text, &number, &value);
        const NTSTATUS status = filter.Set(CameraItem::WriteRegister, (LONG)number, (LONG)value);
        if (!NT_SUCCESS(status)) {
            return "register " + std::to_string(number) + " was not written: " +
                   camtools::PropertyFailure(CameraItem::WriteRegister, true, status);
        }
    }
    return "";
}

std::string ReadMemory(camtools::CameraFilter& filter, const std::vector<std::string>& addresses) {
    for (const std::string& text : addresses) {
        const LONG address = (LONG)IntegerOf(text);
        camdrv::CameraCommandRequest request{};
        request.value = address;
        NTSTATUS status = filter.Command(CameraItem::CameraMemory, true, &request);
        if (NT_SUCCESS(status)) {
            request = {};
            status = filter.Command(CameraItem::CameraMemory, false, &request);
        }
        if (!NT_SUCCESS(status))
            return camtools::PropertyFailure(CameraItem::CameraMemory, false, status);
        std::printf("0x%04X=0x%02X\n", (unsigned)address, (unsigned)request.bytes[0]);
    }
    return "";
}

std::string SendRaw(camtools::CameraFilter& filter, const std::vector<std::string>& bytes) {
    camdrv::CameraCommandRequest request{};
    request.length = (LONG)bytes.size();
    for (size_t i = 0; i < bytes.size(); ++i)
        request.bytes[i] = (UCHAR)IntegerOf(bytes[i]);
    const NTSTATUS status = filter.Command(CameraItem::RawCommand, true, &request);
    return NT_SUCCESS(status) ? ""
                              : camtools::PropertyFailure(CameraItem::RawCommand, true, status);
}

int NoSubcommand(const CLI::App& app, const std::string& choices) {
    const std::vector<std::string> extras = app.remaining();
    return UsageError(app.get_name(),
                      "wants " + choices + (extras.empty() ? "" : ", not '" + extras[0] + "'"));
}

using Work = std::string (*)(camtools::CameraFilter&, const std::vector<std::string>&);

std::function<int()> Runner(const std::string& command, const CommonOptions& common, Work work,
                            std::shared_ptr<std::vector<std::string>> arguments) {
    return [command, &common, work, arguments] {
        return WithFilter(command, common, [work, arguments](camtools::CameraFilter& filter) {
            return work(filter, *arguments);
        });
    };
}

}  // namespace

Command AddRegister(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand("reg", "read or write sensor registers");
    app->fallthrough();
    auto numbers = std::make_shared<std::vector<std::string>>();
    CLI::App* read = app->add_subcommand(
        "read", "print N=V for each register N: the value last written to it (0..1023)");
    read->fallthrough();
    read->add_option("N", *numbers, "a register number")
        ->type_name("")
        ->required()
        ->check(camtools::IntegerCheck("a register number", 0, kLastRegister));
    auto writes = std::make_shared<std::vector<std::string>>();
    CLI::App* write = app->add_subcommand("write", "write each register N with V, in order");
    write->fallthrough();
    write
        ->add_option("N=V", *writes,
                     "a register number (0.." + std::to_string(kLastRegister) + ") and its value")
        ->type_name("")
        ->required()
        ->check(CLI::Validator(
            [](std::string& text) {
                int64_t number = 0;
                int64_t value = 0;
                return ParseRegisterWrite(text, &number, &value);
            },
            "", "register write"));
    std::function<int()> run_read = Runner("reg read", common, ReadRegisters, numbers);
    std::function<int()> run_write = Runner("reg write", common, WriteRegisters, writes);
    return {app, [app, read, write, run_read, run_write] {
                if (read->parsed())
                    return run_read();
                if (write->parsed())
                    return run_write();
                return NoSubcommand(*app, "'reg read N...' or 'reg write N=V...'");
            }};
}

Command AddMemory(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand("mem", "read the camera's memory");
    app->fallthrough();
    auto addresses = std::make_shared<std::vector<std::string>>();
    CLI::App* read =
        app->add_subcommand("read", "print ADDR=BYTE for each address (0..0xFFFF), in hexadecimal");
    read->fallthrough();
    read->add_option("ADDR", *addresses, "a camera memory address")
        ->type_name("")
        ->required()
        ->check(camtools::IntegerCheck("an address", 0, kLastAddress));
    std::function<int()> run = Runner("mem read", common, ReadMemory, addresses);
    return {app, [app, read, run] {
                return read->parsed() ? run() : NoSubcommand(*app, "'mem read ADDR...'");
            }};
}

Command AddRawCommand(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand(
        "raw-command", "send a raw command packet: its code, then up to 63 bytes given here");
    auto bytes = std::make_shared<std::vector<std::string>>();
    app->add_option("BYTE", *bytes, "a byte, 0..255 (0x for hexadecimal)")
        ->check(camtools::IntegerCheck("a byte", 0, 255));
    std::function<int()> run = Runner("raw-command", common, SendRaw, bytes);
    return {app, [bytes, run] {
                // The driver would cut a longer command short without a word.
                if (bytes->size() > kRawCommandBytes) {
                    return UsageError("raw-command", "a command takes at most 63 bytes, not " +
                                                         std::to_string(bytes->size()));
                }
                return run();
            }};
}

Command AddReinitialize(CLI::App& camctl, const CommonOptions& common) {
    CLI::App* app = camctl.add_subcommand(
        "reinit", "initialise the camera again: start-up program, then the persisted settings");
    return {app, [&common] {
                return WithFilter("reinit", common, [](camtools::CameraFilter& filter) {
                    const NTSTATUS status = filter.Set(CameraItem::Reinitialize, 0);
                    return NT_SUCCESS(status)
                               ? std::string()
                               : camtools::PropertyFailure(CameraItem::Reinitialize, true, status);
                });
            }};
}

}  // namespace camctl
