#include "main_window/play_command.h"

#include "effects/effect_table.h"
#include "main_window/bus_names.h"

#include <dbus/dbus.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int Pressed = 0;
constexpr int NoZembra = 1;
constexpr int NoSuchButton = 2;
// A Zembra that takes longer than this to answer is stuck, not busy.
constexpr int AnswerTimeoutMs = 5000;

constexpr char NoZembraText[] =
    "Çalışan bir Zembra yok. Önce Zembra'yı başlatın, sonra yeniden deneyin.";

void say(const std::string &text)
{
    std::fprintf(stderr, "zembra: %s\n", text.c_str());
}

// The value after --play or -p, or in --play=N; nullopt when there is none.
std::optional<std::string_view> requested(int argc, char *argv[])
{
    constexpr std::string_view Joined = "--play=";
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg.substr(0, Joined.size()) == Joined)
            return arg.substr(Joined.size());
        if (arg == "--play" || arg == "-p")
            return i + 1 < argc ? std::string_view(argv[i + 1]) : std::string_view();
    }
    return std::nullopt;
}

// The button number, when the whole value is one in range.
std::optional<std::int32_t> button(std::string_view value)
{
    std::int32_t n = 0;
    const char *end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, n);
    if (error != std::errc() || stop != end || n < 1 || n > Effects::Count)
        return std::nullopt;
    return n;
}

// Owns what the D-Bus library hands out, so that every way out frees it.
struct Call {
    DBusError error;
    DBusConnection *bus = nullptr;
    DBusMessage *message = nullptr;
    DBusMessage *reply = nullptr;

    Call() { dbus_error_init(&error); }
    ~Call()
    {
        if (reply)
            dbus_message_unref(reply);
        if (message)
            dbus_message_unref(message);
        if (bus) {
            dbus_connection_close(bus);
            dbus_connection_unref(bus);
        }
        dbus_error_free(&error);
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
};

} // namespace

bool PlayCommand::isAsked(int argc, char *argv[])
{
    // --help and --version answer first, whatever else is asked.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--help" || arg == "-h" || arg == "--version" || arg == "-v")
            return false;
    }
    return requested(argc, argv).has_value();
}

int PlayCommand::run(int argc, char *argv[])
{
    const std::string_view value = requested(argc, argv).value_or(std::string_view());
    const std::optional<std::int32_t> n = button(value);
    if (!n) {
        say("--play için 1 ile " + std::to_string(Effects::Count) +
            " arasında bir düğme numarası verin (verilen: \"" + std::string(value) + "\").");
        return NoSuchButton;
    }
    Call call;
    // A connection of our own, so that a bus that goes away ends no more than
    // this call.
    call.bus = dbus_bus_get_private(DBUS_BUS_SESSION, &call.error);
    if (!call.bus) { // no session bus: no Zembra can be reached either
        say(NoZembraText);
        return NoZembra;
    }
    dbus_connection_set_exit_on_disconnect(call.bus, false);
    call.message = dbus_message_new_method_call(BusNames::Service, BusNames::Object,
                                                BusNames::Interface, "Press");
    const std::int32_t pressed = *n;
    if (!call.message ||
        !dbus_message_append_args(call.message, DBUS_TYPE_INT32, &pressed, DBUS_TYPE_INVALID)) {
        say("Zembra yanıt vermedi: bellek yetmedi");
        return NoZembra;
    }
    dbus_message_set_auto_start(call.message, false);
    call.reply = dbus_connection_send_with_reply_and_block(call.bus, call.message, AnswerTimeoutMs,
                                                           &call.error);
    if (call.reply)
        return Pressed;
    if (dbus_error_has_name(&call.error, DBUS_ERROR_SERVICE_UNKNOWN) ||
        dbus_error_has_name(&call.error, DBUS_ERROR_NAME_HAS_NO_OWNER))
        say(NoZembraText);
    else
        say(std::string("Zembra yanıt vermedi: ") +
            (call.error.message ? call.error.message : "bilinmeyen hata"));
    return NoZembra;
}
