// The program's entry point: builds the objects, runs the bridge dialog, and takes it all down.
#include <memory>

#include <windows.h>

#include "app/heartbeat.h"
#include "app/power_throttling.h"
#include "engine/controller.h"
#include "resources/resource.h"
#include "ui/app_model.h"
#include "ui/bridge_dialog.h"
#include "ui/difference_graph.h"
#include "ui/program_hooks.h"

namespace {
HINSTANCE programInstance = nullptr;
// How long the end waits for a tick still in the engine's pipe, and then for the engine to halt the
// mount and close its links. A driver that hangs longer is left to the end of the process, which
// closes its ports, rather than kept as an invisible process that holds them.
constexpr DWORD TickClearWaitMs = 3000;
constexpr DWORD EngineStopWaitMs = 15000;

// What the dialog may ask of the program: the clock and the engine, which it does not own.
class Program final : public ProgramHooks {
public:
    Program(HeartBeat& heartBeat, Controller& controller)
        : heartBeat(heartBeat), controller(controller) {}

    void closing() override { controller.requestStop(EngineStopWaitMs); }

    void endSession(DWORD tickWaitMs, DWORD engineWaitMs) override {
        // The end overtakes whatever waits in the engine's pipe, a tick included.
        controller.stop(engineWaitMs);
        heartBeat.clearListener(tickWaitMs);
    }

private:
    HeartBeat& heartBeat;
    Controller& controller;
};
} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    programInstance = instance;
    optOutOfPowerThrottling(); // a guiding session runs minimized all night; a refusal is harmless
    registerGraphClass(programInstance);

    auto heartBeat = std::make_unique<HeartBeat>();
    auto model = std::make_unique<AppModel>();
    auto controller = std::make_unique<Controller>(model.get());
    controller->start();
    heartBeat->setListener(controller.get());
    heartBeat->start();

    Program program(*heartBeat, *controller);
    auto dialog = std::make_unique<DlgAutoGuiderBridge>(programInstance, &graphPalette, model.get(),
                                                        controller.get());
    dialog->program = &program;
    DialogBoxParamA(programInstance, MAKEINTRESOURCEA(IDD_AUTOGUIDER_BRIDGE), nullptr,
                    DlgAutoGuiderBridge::dialogProcedure, reinterpret_cast<LPARAM>(dialog.get()));

    // The dialog window is gone and the model no longer posts. Release the dialog, then let the
    // engine halt the mount and close its links on its own thread (the close asked it to already,
    // ahead of anything in its pipe), then silence the clock, before anything that a thread might
    // still use is released.
    dialog.reset();
    const bool engineEnded = controller->stop(EngineStopWaitMs);
    const bool cleared = heartBeat->clearListener(TickClearWaitMs);
    heartBeat->stop(cleared ? HeartBeat::StopWaitMs : 0);
    heartBeat.reset();
    if (!engineEnded || !cleared) {
        // Its threads, or a tick still under way, use it and its listener, the model: both stay
        // until the process ends.
        static_cast<void>(controller.release());
        static_cast<void>(model.release());
    }
    controller.reset();
    model.reset();
    return 0;
}
