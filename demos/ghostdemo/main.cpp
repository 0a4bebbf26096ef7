// ghostdemo: a glove- and tracker-driven hand that stops at a box instead of passing
// through it. Needs "RightGlove" (or "LeftGlove") and a tracker in the default
// configuration of the device registry.

#include "framework/demomessage.hpp"
#include "framework/gldriverpin.hpp"
#include "framework/usersimulation.hpp"
#include "ghostdemo/simhand.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxengine.hpp"
#include "handsim/kpxghosthumanhand.hpp"

#include <cstdio>
#include <memory>
#include <string>

namespace {

int caught(kpxBaseException* e) {
    const std::string message = std::string("Caught error: ") + e->getMessage();
    delete e;
    demoMessageBox("Message", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    DemoApp::setModuleInstance(&argc, argv);
    demoRouteDeviceReports();

    std::unique_ptr<SimHand> app;
    try {
        app = std::make_unique<SimHand>();
        if (!app->build()) {
            return 1;
        }
        demoPinGlDriverForLeakCheck();
    } catch (kpxBaseException* e) {
        return caught(e);
    }

    int status = 0;
    try {
        GhostScene* scene = app->getScene();
        kpxGhostHumanHand* hand = app->getHand();
        // Declared first, so the engine (stopped and joined by its destructor) goes before it
        // on every way out.
        UserSimulation simulation(app.get(), &scene->root);
        simulation.setContactRule([hand](const std::vector<kpxCollisionPair>& pairs) {
            for (const kpxCollisionPair& pair : pairs) {
                hand->handleCollision(pair);
            }
        });
        kpxEngine engine(true);
        engine.registerHand(hand);
        engine.useSimulation(&simulation);
        scene->createCollisionEngine();
        simulation.setCollisionEngine(scene->collision.get());
        engine.start();
        status = app->runMessageLoop();

        // The window is closed: no step may run while the hand and the scene go away.
        simulation.stopSimulation();
        engine.stop();
        if (!engine.getLastError().empty()) {
            std::fprintf(stderr, "ghostdemo: the simulation stopped: %s\n",
                         engine.getLastError().c_str());
        }
    } catch (kpxBaseException* e) {
        return caught(e);
    }
    return status;
}
