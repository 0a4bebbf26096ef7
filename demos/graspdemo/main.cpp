// graspdemo: a glove- and tracker-driven hand touches a sphere and feels it through the
// grasp exoskeleton. Needs "RightGlove" (or "LeftGlove"), "RightForce" and "RightGrasp" (or
// the left ones) in the default configuration of the device registry.

#include "framework/demomessage.hpp"
#include "framework/gldriverpin.hpp"
#include "framework/usersimulation.hpp"
#include "graspdemo/graspscene.hpp"
#include "graspdemo/simgrasp.hpp"
#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxcfhumanhand.hpp"
#include "handsim/kpxengine.hpp"

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

    std::unique_ptr<SimGrasp> app;
    try {
        app = std::make_unique<SimGrasp>();
        if (!app->build()) {
            return 1;
        }
        demoPinGlDriverForLeakCheck();
    } catch (kpxBaseException* e) {
        return caught(e);
    }

    int status = 0;
    try {
        // Declared first, so the engine (stopped and joined by its destructor) goes before it
        // on every way out.
        UserSimulation simulation(app.get(), app->getRoot());
        kpxEngine engine(true);
        engine.registerHand(app->getHand());
        kpxVexaGrasp* grasp = app->getGrasp();
        simulation.setContactRule([grasp](const std::vector<kpxCollisionPair>& pairs) {
            applyGraspContacts(pairs, grasp);
        });
        engine.useSimulation(&simulation);
        engine.start();
        status = app->runMessageLoop();

        // The window is closed: no step may run while the hand, the devices and the scene
        // go away, and the exoskeleton must let go of the fingers first.
        simulation.stopSimulation();
        engine.stop();
        simulation.sendZeroForces();
        if (!engine.getLastError().empty()) {
            std::fprintf(stderr, "graspdemo: the simulation stopped: %s\n",
                         engine.getLastError().c_str());
        }
    } catch (kpxBaseException* e) {
        return caught(e);
    }
    return status;
}
