// orvel-midi-send: sends one MIDI message to a MIDI input port, e.g. to try Orvel by hand:
//   orvel-midi-send 0x9F 95 127
// Deliberately sends whatever bytes it is given, malformed ones included.

#include <RtMidi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kUsage = "usage: orvel-midi-send [--port NAME] [--api alsa|jack] BYTE...\n"
                           "  Sends the bytes as one MIDI message to the first MIDI input port whose\n"
                           "  name contains NAME (default \"Orvel\"). BYTE is decimal or 0x-prefixed hex.\n"
                           "  Without --api: ALSA when it can be opened, otherwise JACK\n"
                           "  (or the choice in ORVEL_MIDI_API).\n";

int fail(const std::string& message)
{
    std::fprintf(stderr, "orvel-midi-send: %s\n", message.c_str());
    return 1;
}

bool parseByte(const char* text, unsigned char* byte)
{
    char* end = nullptr;
    const int base = (std::strncmp(text, "0x", 2) == 0 || std::strncmp(text, "0X", 2) == 0) ? 16 : 10;
    const long value = std::strtol(base == 16 ? text + 2 : text, &end, base);
    if (end == text || *end != '\0' || value < 0 || value > 255 || (base == 16 && text[2] == '\0'))
        return false;
    *byte = static_cast<unsigned char>(value);
    return true;
}

std::string lastError;

std::string displayName(RtMidi::Api api)
{
    return api == RtMidi::UNIX_JACK ? "JACK" : "ALSA";
}

void onError(RtMidiError::Type type, const std::string& text, void*)
{
    if (type != RtMidiError::DEBUG_WARNING)
        lastError = text;
}

// Opens an output on `api`; nullptr with lastError set when that MIDI system is not available.
std::unique_ptr<RtMidiOut> openOutput(RtMidi::Api api)
{
    try {
        auto out = std::make_unique<RtMidiOut>(api, "orvel-midi-send");
        out->setErrorCallback(&onError, nullptr);
        lastError.clear();
        out->getPortCount();
        // JACK only warns at construction when no server runs; the port list is then empty.
        if (api == RtMidi::UNIX_JACK && !lastError.empty())
            return nullptr;
        return out;
    } catch (const RtMidiError& e) {
        lastError = e.getMessage();
        return nullptr;
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string portName = "Orvel";
    std::string apiName;
    if (const char* env = std::getenv("ORVEL_MIDI_API"))
        apiName = env;
    std::vector<unsigned char> message;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--port" || arg == "--api") {
            if (i + 1 >= argc)
                return fail(arg + " needs a value\n" + kUsage);
            (arg == "--port" ? portName : apiName) = argv[++i];
            continue;
        }
        unsigned char byte = 0;
        if (!parseByte(argv[i], &byte))
            return fail("not a byte (0 to 255): " + arg);
        message.push_back(byte);
    }
    if (message.empty())
        return fail(std::string("no bytes to send\n") + kUsage);

    std::vector<RtMidi::Api> apis;
    if (apiName.empty() || apiName == "auto")
        apis = {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK};
    else if (apiName == "alsa")
        apis = {RtMidi::LINUX_ALSA};
    else if (apiName == "jack")
        apis = {RtMidi::UNIX_JACK};
    else if (apiName == "none")
        return fail("MIDI is turned off (ORVEL_MIDI_API=none)");
    else
        return fail("unknown MIDI system \"" + apiName + "\" (expected alsa or jack)");

    std::unique_ptr<RtMidiOut> out;
    RtMidi::Api api = RtMidi::UNSPECIFIED;
    std::string tried;
    for (const RtMidi::Api candidate : apis) {
        out = openOutput(candidate);
        if (out) {
            api = candidate;
            break;
        }
        tried += (tried.empty() ? "" : "; ") + displayName(candidate) + ": " + lastError;
    }
    if (!out)
        return fail("no MIDI system could be opened (" + tried + ")");

    const unsigned int count = out->getPortCount();
    unsigned int port = count;
    for (unsigned int i = 0; i < count; ++i) {
        if (out->getPortName(i).find(portName) != std::string::npos) {
            port = i;
            break;
        }
    }
    if (port == count)
        return fail("no MIDI input port named like \"" + portName + "\" on " + displayName(api));

    lastError.clear();
    try {
        out->openPort(port, "out");
        if (!lastError.empty())
            return fail("could not connect to \"" + out->getPortName(port) + "\": " + lastError);
        // JACK puts a new connection into effect at a later process cycle and drops what is
        // sent before; a few cycles of a usual server fit into this pause.
        if (api == RtMidi::UNIX_JACK)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        out->sendMessage(&message);
    } catch (const RtMidiError& e) {
        return fail(e.getMessage());
    }
    if (!lastError.empty())
        return fail("could not send: " + lastError);
    if (api == RtMidi::UNIX_JACK) {
        // JACK moves the message in its next process cycle; closing the port first would lose it.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return 0;
}
