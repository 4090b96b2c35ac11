// zuic sim --vpcd: serves a simulated card or SAM to vpcd, the virtual reader
// driver of pcscd, until interrupted.
#include "Commands.h"

#if defined(ZUIC_HAVE_SIM)
#include "sim/VpcdBridge.h"
#include "sim/ZUSim.h"
#endif

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>

namespace zuic {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

int RunSim(const Invocation& invocation, Output& output) {
    if (!invocation.args.positionals.empty()) {
        output.Error("sim takes no arguments (got '" + invocation.args.positionals.front() + "')");
        return kExitBadInput;
    }
    if (!invocation.args.Has("vpcd")) {
        output.Error("sim needs --vpcd (the only way it serves a card)");
        return kExitBadInput;
    }
    int port = 35963;
    if (const std::string* text = invocation.args.Value("port")) {
        char* end = nullptr;
        long value = std::strtol(text->c_str(), &end, 10);
        if (text->empty() || *end != '\0' || value <= 0 || value > 65535) {
            output.Error("--port wants a TCP port from 1 to 65535 (got '" + *text + "')");
            return kExitBadInput;
        }
        port = static_cast<int>(value);
    }
    const std::string* card = invocation.args.Value("card");
    const std::string name = card != nullptr ? *card : "sim";
#if defined(ZUIC_HAVE_SIM)
    std::unique_ptr<CZUSimDevice> device = ZUSimCreate(name.c_str());
    if (!device) {
        output.Error("unknown simulated card '" + name +
                     "'; known: sim, simsam, simsb, simsbsam (options :t0, remove=N, refuse=N)");
        return kExitBadInput;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    output.Out() << "serving '" << name << "' to vpcd at 127.0.0.1:" << port
                 << " until interrupted\n";
    output.Out().flush();
    if (ZUServeVpcd(*device, "127.0.0.1", port, &g_stop) != 0) {
        output.Error("cannot serve to vpcd at 127.0.0.1:" + std::to_string(port));
        return kExitBadInput;
    }
    return kExitOk;
#else
    output.Error("this zuic was built without the simulated card");
    return kExitBadInput;
#endif
}

} // namespace

const CommandSpec simCommand = {
    "sim",
    "sim --vpcd [--port P] [--card NAME]",
    "serve the simulated card to vpcd, pcscd's virtual reader",
    "Connects to vpcd on 127.0.0.1 (port 35963 is \"Virtual PCD 00 00\", 35964\n"
    "is \"Virtual PCD 00 01\") and answers it as the simulated card NAME (sim,\n"
    "simsam, simsb or simsbsam; default sim) until SIGINT or SIGTERM. While\n"
    "vpcd is away it tries again every 200 ms. Every PC/SC program, zuic\n"
    "included, then sees a card in that reader.\n"
    "\n"
    "Example:\n"
    "  $ zuic sim --vpcd --port 35964 --card simsam &\n"
    "  $ zuic atr --reader 'Virtual PCD 00 01'\n",
    {{"vpcd", "", "serve to vpcd (required)"},
     {"port", "P", "vpcd's TCP port (default 35963)"},
     {"card", "NAME", "the simulated card to serve (default sim)"}},
    &RunSim,
};

} // namespace zuic
