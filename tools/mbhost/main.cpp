// mbhost: a headless animation host. Loads a device plug-in library the way the animation
// host does, makes its device and settings layout, picks a configuration and glove, drives
// I/O and evaluation on two threads at the sampling period, records a take, and saves it as
// BVH; keeps the device's settings in a small scene file.

#include <dlfcn.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bvh.hpp"
#include "fbsdk/fbhost.h"
#include "fbsdk/fbsdk.h"

namespace {

const char* const kUsage =
    "usage: mbhost [options] LIBRARY\n"
    "Loads the device plug-in LIBRARY, starts its device on a glove of the device registry\n"
    "and drives it at its sampling period.\n"
    "options:\n"
    "  --registry FILE     device registry (default: $MANUVIA_REGISTRY, else the user's)\n"
    "  --config NAME       configuration to use (default: the scene's, else the default one)\n"
    "  --glove NAME        glove of that configuration (default: the scene's, else the first)\n"
    "  --duration SECONDS  how long to run (default 5; SIGINT or SIGTERM ends it early)\n"
    "  --rate HZ           sampling rate (default: the device's sampling period)\n"
    "  --record            record a take (keys of every driven joint)\n"
    "  --bvh FILE          record and save the take as BVH\n"
    "  --scene FILE        read the device's settings from a scene file before opening\n"
    "  --save-scene FILE   save the device's settings into a scene file at the end\n"
    "  --device NAME       device class registered under \"Boxes/Devices\" (default: first)\n"
    "  --entry SYMBOL      the library's entry point (default: EntryPointordevicemanuvia)\n"
    "  --quiet             do not print the joint spreadsheet\n"
    "  --help              this text\n"
    "Exit status: 0 done, 1 failure, 2 usage.\n";

struct Failure {
    std::string message;
    int status = 1;
};

[[noreturn]] void fail(const std::string& message, int status = 1) {
    throw Failure{message, status};
}

struct Options {
    std::string library;
    std::string registry, config, glove, scene, saveScene, bvh, device;
    std::string entry = "EntryPointordevicemanuvia";
    double duration = 5.0;
    int rate = 0;
    bool record = false;
    bool quiet = false;
    bool help = false;
};

double toSeconds(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    // A day bounds the run, and with it the take held in memory.
    if (text.empty() || *end != '\0' || errno != 0 || !(v > 0.0) || v > 86400.0)
        fail("bad duration '" + text + "' (expected seconds, more than 0, at most 86400)", 2);
    return v;
}

int toRate(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 1 || v > 1000)
        fail("bad rate '" + text + "' (expected 1..1000 Hz)", 2);
    return static_cast<int>(v);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                fail("option " + a + " needs a value", 2);
            return argv[++i];
        };
        if (a == "--help" || a == "-h")
            o.help = true;
        else if (a == "--registry")
            o.registry = value();
        else if (a == "--config")
            o.config = value();
        else if (a == "--glove")
            o.glove = value();
        else if (a == "--duration")
            o.duration = toSeconds(value());
        else if (a == "--rate")
            o.rate = toRate(value());
        else if (a == "--record")
            o.record = true;
        else if (a == "--bvh")
            o.bvh = value();
        else if (a == "--scene")
            o.scene = value();
        else if (a == "--save-scene")
            o.saveScene = value();
        else if (a == "--device")
            o.device = value();
        else if (a == "--entry")
            o.entry = value();
        else if (a == "--quiet")
            o.quiet = true;
        else if (a.size() > 1 && a[0] == '-')
            fail("unknown option '" + a + "'", 2);
        else if (!o.library.empty())
            fail("more than one library given ('" + o.library + "', '" + a + "')", 2);
        else
            o.library = a;
    }
    if (!o.help && o.library.empty())
        fail("no plug-in library given", 2);
    if (!o.bvh.empty())
        o.record = true;
    return o;
}

// Message and progress boxes the plug-in showed since the last call, as a headless host
// shows them: on standard error.
void reportBoxes() {
    for (const FBHost::MessageBoxRecord& box : FBHost::messageBoxes())
        std::cerr << "mbhost: message box \"" << box.title << "\": " << box.message << "\n";
    FBHost::clearBoxes();
}

// --- choosing configuration and glove through the layout, as a user would -----------------

template <class T>
T* control(FBLayout* layout, const char* region) {
    return layout ? dynamic_cast<T*>(layout->GetControl(region)) : nullptr;
}

// The layout's page shown in "MainLayout" after picking tab `tab`.
FBLayout* page(FBLayout& layout, int tab) {
    auto* tabs = control<FBTabPanel>(&layout, "TabPanel");
    if (!tabs)
        fail("the device layout has no tab panel");
    tabs->HostSelect(tab);
    return control<FBLayout>(&layout, "MainLayout");
}

std::string itemsText(const FBStringList& items) {
    std::string text;
    for (int i = 0; i < items.GetCount(); ++i)
        text += std::string(i ? ", " : "") + items.GetAt(i);
    return text.empty() ? "none" : text;
}

void select(FBList* list, const std::string& name, const char* what) {
    if (!list)
        fail(std::string("the device layout has no ") + what + " list");
    int index = list->Items.Find(name.c_str());
    if (index < 0)
        fail(std::string("no ") + what + " '" + name +
             "' in the device registry (there: " + itemsText(list->Items) + ")");
    list->HostSelect(index);
}

void choose(FBLayout& layout, const Options& o) {
    if (o.config.empty() && o.glove.empty())
        return;
    FBLayout* selection = page(layout, 1);
    if (!o.config.empty())
        select(control<FBList>(selection, "ListConfiguration"), o.config, "configuration");
    if (!o.glove.empty())
        select(control<FBList>(selection, "ListDevice"), o.glove, "glove");
    page(layout, 0);
}

void printSpread(FBLayout& layout) {
    auto* spread = control<FBSpread>(page(layout, 0), "SpreadMarkers");
    if (!spread)
        fail("the device layout has no joint spreadsheet");
    std::printf("%-14s", "Joint");
    for (int c = 0; c < spread->GetColumnCount(); ++c)
        std::printf(" %9s", spread->GetColumn(c).Caption.c_str());
    std::printf("\n");
    for (int r = 0; r < spread->GetRowCount(); ++r) {
        FBSpreadRow& row = spread->GetRowAt(r);
        std::printf("%-14s", row.Caption.c_str());
        for (const FBSpreadCell& cell : row.Cells) {
            if (const int* i = std::get_if<int>(&cell.Value))
                std::printf(" %9d", *i);
            else if (const double* d = std::get_if<double>(&cell.Value))
                std::printf(" %9.3f", std::fabs(*d) < 0.0005 ? 0.0 : *d);  // never "-0.000"
            else if (const std::string* s = std::get_if<std::string>(&cell.Value))
                std::printf(" %9s", s->c_str());
            else
                std::printf(" %9s", "-");
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

// --- driving the device ----------------------------------------------------------------

// Shared by the two driving threads and the main thread, which stops them.
class StopFlag {
  public:
    // Sleeps until `when` or until stopped; true when stopped.
    bool sleepUntil(std::chrono::steady_clock::time_point when) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_until(lock, when, [this] { return m_stopped; });
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopped = true;
        }
        m_cv.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stopped = false;
};

// Runs step(k) for k = 0 .. frames-1 at start + offset + k * period on a thread of its own.
class Pacer {
  public:
    Pacer(StopFlag& stop, std::chrono::steady_clock::time_point start,
          std::chrono::nanoseconds offset, std::chrono::nanoseconds period, long frames,
          std::function<void(long)> step)
        : m_thread([=, this, &stop] {
              for (long k = 0; k < frames; ++k) {
                  if (stop.sleepUntil(start + offset + k * period))
                      break;
                  step(k);
                  m_done.store(k + 1);
              }
              m_finished.store(true);
          }) {}
    ~Pacer() { join(); }
    void join() {
        if (m_thread.joinable())
            m_thread.join();
    }
    bool finished() const { return m_finished.load(); }
    long done() const { return m_done.load(); }

  private:
    std::atomic<long> m_done{0};
    std::atomic<bool> m_finished{false};
    std::thread m_thread;  // last: starts once the counters exist
};

struct RunResult {
    long samples = 0;
    bool interrupted = false;
};

// I/O on one thread and evaluation on another, half a period apart, until the frames are
// done or SIGINT/SIGTERM arrives (blocked in every thread, taken here).
RunResult drive(FBDevice& device, FBTime period, long frames, bool playing) {
    using namespace std::chrono;
    const nanoseconds step(static_cast<long long>(std::llround(period.GetSecondDouble() * 1e9)));
    const kDeviceIOs action = playing ? kIOPlayModeWrite : kIOStopModeWrite;
    StopFlag stop;
    auto start = steady_clock::now() + milliseconds(20);
    RunResult result;
    {
        Pacer io(stop, start, nanoseconds(0), step, frames,
                 [&](long k) { FBHost::deviceIO(device, action, period * k); });
        Pacer evaluation(stop, start, step / 2, step, frames,
                         [&](long k) { FBHost::evaluate(device, period * k); });
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        while (!(io.finished() && evaluation.finished())) {
            timespec slice{0, 50'000'000};
            if (sigtimedwait(&signals, nullptr, &slice) > 0) {
                result.interrupted = true;
                break;
            }
        }
        stop.stop();
        io.join();
        evaluation.join();
        result.samples = io.done();
    }
    return result;
}

// --- the take as BVH -----------------------------------------------------------------------

FBAnimationNode* nodeOf(const FBModelTemplate& t, const char* dataType) {
    for (int i = 0; i < t.AnimationNodes.GetCount(); ++i)
        if (std::strcmp(t.AnimationNodes[i]->GetDataType(), dataType) == 0)
            return t.AnimationNodes[i];
    return nullptr;
}

struct TakeJoint {
    FBAnimationNode* translation;
    FBAnimationNode* rotation;
    std::vector<FBAnimationKey> keys;  // rotation keys recorded
};

void addJoints(const FBModelTemplate& t, int parent, mbhost::BvhTake& take,
               std::vector<TakeJoint>& joints) {
    mbhost::BvhJoint joint;
    joint.name = t.Name.str();
    joint.parent = parent;
    TakeJoint driven{nodeOf(t, ANIMATIONNODE_TYPE_LOCAL_TRANSLATION),
                     nodeOf(t, ANIMATIONNODE_TYPE_LOCAL_ROTATION),
                     {}};
    // The translation written at evaluation is the rest translation for the glove's hand.
    FBVector3d rest = t.DefaultTranslation;
    std::vector<double> written = driven.translation && driven.translation->WriteCount() > 0
                                      ? driven.translation->LastWritten()
                                      : std::vector<double>(rest.mValue, rest.mValue + 3);
    for (int k = 0; k < 3 && k < static_cast<int>(written.size()); ++k)
        joint.offset[k] = written[static_cast<std::size_t>(k)];
    joint.endSite = t.Children.GetCount() == 0;
    if (driven.rotation)
        driven.keys = FBHost::recordedKeys(*driven.rotation);
    int self = static_cast<int>(take.joints.size());
    take.joints.push_back(joint);
    joints.push_back(std::move(driven));
    for (int c = 0; c < t.Children.GetCount(); ++c)
        addJoints(*t.Children[c], self, take, joints);
}

mbhost::BvhTake takeOf(FBDevice& device) {
    if (device.ModelTemplate.GetCount() == 0)
        fail("the device has no model templates to export");
    // Grouping templates without outputs (the hand) are not joints.
    const FBModelTemplate* top = device.ModelTemplate[0];
    while (top->AnimationNodes.GetCount() == 0 && top->Children.GetCount() == 1)
        top = top->Children[0];
    mbhost::BvhTake take;
    std::vector<TakeJoint> joints;
    addJoints(*top, -1, take, joints);
    take.frameTime = device.SamplingPeriod.Get().GetSecondDouble();

    std::size_t frames = 0;
    bool keyed = false;
    for (const TakeJoint& j : joints)
        if (!j.keys.empty()) {
            frames = keyed ? std::min(frames, j.keys.size()) : j.keys.size();
            keyed = true;
        }
    if (!keyed)
        std::cerr << "mbhost: nothing was recorded: the take has the hierarchy only\n";
    std::vector<FBAnimationKey> rootPosition;
    if (joints[0].translation)
        rootPosition = FBHost::recordedKeys(*joints[0].translation);
    for (std::size_t f = 0; f < frames; ++f) {
        std::vector<double> values(3 + 3 * joints.size(), 0.0);
        const std::vector<double> position =
            f < rootPosition.size()
                ? rootPosition[f].value
                : std::vector<double>(take.joints[0].offset, take.joints[0].offset + 3);
        for (std::size_t k = 0; k < 3 && k < position.size(); ++k)
            values[k] = position[k];
        for (std::size_t j = 0; j < joints.size(); ++j) {
            // Unkeyed joints (finger tips) stay at the rotation they are written with.
            std::vector<double> rotation = !joints[j].keys.empty() ? joints[j].keys[f].value
                                           : joints[j].rotation ? joints[j].rotation->LastWritten()
                                                                : std::vector<double>(3, 0.0);
            for (std::size_t k = 0; k < 3 && k < rotation.size(); ++k)
                values[3 + 3 * j + k] = rotation[k];
        }
        take.frames.push_back(std::move(values));
    }
    return take;
}

void writeFile(const std::string& path, const std::string& text) {
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out)
            fail("cannot write '" + temp + "'");
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        fail("cannot write '" + path + "': " + std::strerror(errno));
    }
}

// --- the plug-in library -------------------------------------------------------------------

// Loaded for the rest of the process: registered creators point into it.
FBLibrary* loadLibrary(const Options& o) {
    void* handle = dlopen(o.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        fail("cannot load plug-in library: " + std::string(dlerror()));
    auto init = reinterpret_cast<FBLibraryInitFunction>(dlsym(handle, FB_LIBRARY_INIT_SYMBOL));
    auto entry = reinterpret_cast<FBEntryPointFunction>(dlsym(handle, o.entry.c_str()));
    if (!init || !entry)
        fail("'" + o.library + "' is no device plug-in library (it lacks " +
             (init ? o.entry : std::string(FB_LIBRARY_INIT_SYMBOL)) + ")");
    FBLibrary* library = init();
    if (!library || !library->LibInit() || !library->LibOpen())
        fail("the plug-in library refused to initialise");
    entry(kFBDllLoad);
    if (!library->LibReady())
        fail("the plug-in library is not ready");
    return library;
}

FBHost::ComponentPtr createDevice(const Options& o) {
    const FBHost::Registration* found = nullptr;
    std::vector<FBHost::Registration> all = FBHost::registrations();
    for (const FBHost::Registration& r : all)
        if (r.group == "Boxes/Devices" && (o.device.empty() || r.name == o.device)) {
            found = FBHost::findRegistration(r.group, r.name);
            break;
        }
    if (!found)
        fail(o.device.empty() ? "the library registers no device"
                              : "the library registers no device '" + o.device + "'");
    FBHost::ComponentPtr device = FBHost::create(found->group, found->name, found->name.c_str());
    if (!device || !dynamic_cast<FBDevice*>(device.get()))
        fail("the device '" + found->name + "' could not be created");
    return device;
}

int run(const Options& o) {
    if (!o.registry.empty()) {
        if (!std::ifstream(o.registry))
            fail("cannot read device registry '" + o.registry + "'");
        ::setenv("MANUVIA_REGISTRY", o.registry.c_str(), 1);
    }
    FBLibrary* library = loadLibrary(o);
    FBHost::ComponentPtr component = createDevice(o);
    FBDevice& device = *static_cast<FBDevice*>(component.get());
    if (o.rate > 0)
        device.SamplingPeriod = FBTime::Frame(o.rate);

    if (!o.scene.empty()) {
        std::vector<FBHost::SceneObject> scene = FBHost::loadScene(o.scene);
        auto it = std::find_if(scene.begin(), scene.end(), [&](const FBHost::SceneObject& s) {
            return s.className == device.ClassName();
        });
        if (it == scene.end())
            fail("scene file '" + o.scene + "' holds no " + device.ClassName());
        if (!FBHost::retrieveDevice(device, *it))
            fail("the device refused the settings of scene file '" + o.scene + "'");
    }

    FBHost::ComponentPtr layoutComponent = FBHost::createLayout(device);
    auto* layout = dynamic_cast<FBLayout*>(layoutComponent.get());
    reportBoxes();
    if (!layout)
        fail(std::string("the library has no layout for ") + device.ClassName());
    choose(*layout, o);
    reportBoxes();

    FBHost::setTransportMode(o.record ? kFBTransportPlay : kFBTransportStop);
    FBHost::setRecording(device, o.record);
    FBHost::setOnline(device, true);
    reportBoxes();
    std::cerr << "mbhost: " << device.ClassName() << " \"" << device.Name.Get().c_str()
              << "\": " << device.Status.Get().c_str() << " "
              << device.HardwareVersionInformation.Get().c_str() << " "
              << device.Information.Get().c_str() << "\n";
    if (!device.Online)
        fail("the device did not start: " + device.Status.Get().str() +
             (device.Information.Get().IsEmpty() ? ""
                                                 : " (" + device.Information.Get().str() + ")"));

    const FBTime period = device.SamplingPeriod.Get();
    if (period.Get() <= 0)
        fail("the device has no sampling period");
    const long frames = std::max(1L, std::lround(o.duration / period.GetSecondDouble()));
    RunResult result = drive(device, period, frames, o.record);
    // The spreadsheet shows the last rotations while online (going offline rebuilds it).
    FBHost::fireUIIdle();
    if (!o.quiet)
        printSpread(*layout);
    FBHost::setRecording(device, false);
    FBHost::setOnline(device, false);
    reportBoxes();
    std::cerr << "mbhost: " << result.samples << " of " << frames << " samples"
              << (result.interrupted ? " (interrupted)" : "") << ", " << device.GetSampleCount()
              << " acknowledged\n";
    if (!o.bvh.empty()) {
        mbhost::BvhTake take = takeOf(device);
        try {
            writeFile(o.bvh, mbhost::writeBvh(take, "XYZ"));
        } catch (const std::invalid_argument& e) {
            fail(std::string("cannot export the take: ") + e.what());
        }
        std::cerr << "mbhost: " << take.frames.size() << " frames of " << take.joints.size()
                  << " joints written to " << o.bvh << "\n";
    }
    if (!o.saveScene.empty())
        FBHost::saveScene(o.saveScene, {FBHost::storeDevice(device)});

    layoutComponent.reset();
    component.reset();
    library->LibClose();
    library->LibRelease();
    FBHost::clearRegistrations();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Block the stop signals before any thread exists (the device manager starts its own),
    // so only drive() takes them, between samples.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        Options o = parse(argc, argv);
        if (o.help) {
            std::cout << kUsage;
            return 0;
        }
        return run(o);
    } catch (const Failure& f) {
        std::cerr << "mbhost: " << f.message << "\n";
        if (f.status == 2)
            std::cerr << kUsage;
        return f.status;
    } catch (const FBHost::SceneError& e) {
        std::cerr << "mbhost: " << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "mbhost: " << e.what() << "\n";
        return 1;
    }
}
