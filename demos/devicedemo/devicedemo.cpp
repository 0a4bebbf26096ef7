// devicedemo: prints the readings of the default glove and tracker in a loop. Without a
// tracker it carries on with the toolkit's tracker emulator.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "handsim/kpxbaseexception.hpp"
#include "handsim/kpxioconn.hpp"
#include "handsim/kpxtracker.hpp"
#include "handsim/kpxtrackeremulator.hpp"
#include "handsim/kpxvexaglove.hpp"

int main(int argc, char** argv) {
    int pause = 100;
    if (argc > 1)
        pause = std::atoi(argv[1]);
    // A negative pause means none, never an error of the sleep.
    if (pause < 0)
        pause = 0;

    kpxIOConn* conn = kpxIOConn::getDefault(kpxIOConn::VEXAGLOVE);
    if (!conn)
        conn = kpxIOConn::getDefault(kpxIOConn::VEXATOUCH);
    std::unique_ptr<kpxVexaGlove> glove;
    try {
        glove = std::make_unique<kpxVexaGlove>(conn, true);
    } catch (kpxBaseException* e) {
        std::printf("Could not connect to any VexaGlove: %s\nPress <enter> to exit.\n",
                    e->getMessage());
        std::fflush(stdout);
        delete e;
        std::string line;
        std::getline(std::cin, line);
        return 0;
    }

    std::unique_ptr<kpxTrackerDevice> tracker;
    try {
        tracker = std::make_unique<kpxTracker>(kpxIOConn::getDefault(kpxIOConn::TRACKER), true);
    } catch (kpxBaseException* e) {
        delete e;
        std::printf("Could not connect to tracker, using emulator instead\n");
        std::fflush(stdout);
        tracker = std::make_unique<kpxTrackerEmulator>();
    }

    double t0 = glove->getLastUpdateTime();
    try {
        for (;;) {
            glove->update();
            tracker->update();
            std::cout << "deltaTime: " << glove->getLastUpdateTime() - t0 << "\n";
            std::cout << "Glove: \n";
            for (int f = 0; f < 5; ++f) {
                std::cout << f << " ";
                for (int j = 0; j < 3; ++j)
                    std::cout << glove->getJointValue(f, j) << " ";
                std::cout << glove->getJointValue(f, 3) << "\n";
            }
            std::cout << 5 << " " << glove->getPalmValue(0) << " " << glove->getPalmValue(1) << " "
                      << glove->getPalmValue(2) << "\n";

            kpxTransform3D t = tracker->getDevice(0)->getTransform();
            kpxVector3d translation = t.getTranslation();
            kpxQuaternion rotation = t.getRotation();
            kpxVector3d axis = rotation.getAxis();
            std::cout << "Tracker: \n";
            std::cout << translation.getX() << " " << translation.getY() << " "
                      << translation.getZ() << "\n";
            std::cout << axis.getX() << " " << axis.getY() << " " << axis.getZ() << " "
                      << rotation.getAngle() << "\n";
            std::cout << "\n" << std::flush;
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        }
    } catch (kpxBaseException* e) {
        // A device lost mid-loop ends the read-out with its reason, not an abort.
        std::cerr << "devicedemo: " << e->getMessage() << "\n";
        delete e;
        return 1;
    }
}
