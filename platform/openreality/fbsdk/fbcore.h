#pragma once
// Devices and what they drive: boxes, devices with their output animation nodes, model
// templates, evaluation and notification information, the player control, the scene's field
// store, the system's idle event, message boxes and progress boxes.
//
// Threads: the host calls DeviceOperation and the layout on its user-interface thread,
// DeviceIONotify on its I/O thread and AnimationNodeNotify on its evaluation thread; the
// last two may be different threads. Animation nodes guard their written data and keys with
// their own lock; the sample count is atomic. Model templates are built in FBCreate and read
// by the host afterwards, not changed while a device runs.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "fbsdk/fbcomponent.h"

// Every SDK type is visible from the shared library, also to plug-ins built with hidden
// symbols, so type checks across libraries agree.
#pragma GCC visibility push(default)

class FBDevice;

// Data types of animation nodes.
#define ANIMATIONNODE_TYPE_LOCAL_TRANSLATION "Lcl Translation"
#define ANIMATIONNODE_TYPE_LOCAL_ROTATION "Lcl Rotation"

// The host's clock at one evaluation.
class FBEvaluateInfo {
  public:
    FBEvaluateInfo() = default;
    FBEvaluateInfo(FBTime local, FBTime system, kFBLongLong evaluationId)
        : m_local(local), m_system(system), m_id(evaluationId) {}
    FBTime GetLocalTime() const { return m_local; }
    FBTime GetSystemTime() const { return m_system; }
    kFBLongLong GetEvaluationId() const { return m_id; }

  private:
    FBTime m_local, m_system;
    kFBLongLong m_id = 0;
};

// The host's clock at one I/O notification.
class FBDeviceNotifyInfo {
  public:
    FBDeviceNotifyInfo() = default;
    FBDeviceNotifyInfo(FBTime local, FBTime system) : m_local(local), m_system(system) {}
    FBTime GetLocalTime() const { return m_local; }
    FBTime GetSystemTime() const { return m_system; }

  private:
    FBTime m_local, m_system;
};

// A recorded key: a value at a time; `timed` is false for a key added without a time, which
// the host stamps with the local time of the I/O notification it was added in.
struct FBAnimationKey {
    FBTime time;
    bool timed = false;
    std::vector<double> value;
};

// A device output: the data written at each evaluation and, when the host records, the node
// keys are recorded into (GetAnimationToRecord). Made and owned by its device.
class FBAnimationNode {
  public:
    // A record node (recordNode true) belongs to an output node and has none of its own.
    FBAnimationNode(FBDevice* owner, int userId, const char* name, const char* dataType,
                    bool recordNode = false);
    FBAnimationNode(const FBAnimationNode&) = delete;
    FBAnimationNode& operator=(const FBAnimationNode&) = delete;

    const char* GetName() const { return m_name.c_str(); }
    const char* GetDataType() const { return m_dataType.c_str(); }
    int GetUserId() const { return m_userId; }
    // Values per write: 3 for translations, rotations and vectors, else 1.
    int GetDataSize() const { return m_size; }

    // Copies GetDataSize values; data may not be null.
    bool WriteData(const double* data, FBEvaluateInfo* info);
    // The values last written (zeros before the first write).
    bool ReadData(double* data, FBEvaluateInfo* info = nullptr) const;
    // The node keys go into while the host records this device; null otherwise.
    FBAnimationNode* GetAnimationToRecord();
    void KeyAdd(const FBTime& time, const double* data);
    void KeyAdd(const double* data);

    // Host side.
    std::vector<double> LastWritten() const;
    kFBLongLong WriteCount() const;
    std::vector<FBAnimationKey> Keys() const;
    void ClearKeys();
    // The node keys go into when recording (null for a record node itself).
    FBAnimationNode* RecordNode() const { return m_record.get(); }

  private:
    FBDevice* m_owner;
    int m_userId;
    std::string m_name, m_dataType;
    int m_size;
    mutable std::mutex m_mutex;
    std::vector<double> m_data;
    kFBLongLong m_writes = 0;
    std::vector<FBAnimationKey> m_keys;
    std::unique_ptr<FBAnimationNode> m_record;  // made with the node, handed out when recording
};

enum FBModelTemplateType {
    kFBModelTemplateRoot = 0,
    kFBModelTemplateMarker = 1,
    kFBModelTemplateOptical = 2,
    kFBModelTemplateSkeleton = 3,
    kFBModelTemplateCamera = 4,
    kFBModelTemplateJoint = 5,
};

// A node of the tree of models a device drives. A template owns its children; a device's
// ModelTemplate list owns its roots. Animation nodes are referred to, not owned.
class FBModelTemplate {
  public:
    FBModelTemplate(const char* prefix, const char* name, FBModelTemplateType type);
    FBModelTemplate(const FBModelTemplate&) = delete;
    FBModelTemplate& operator=(const FBModelTemplate&) = delete;

    // Prefix and name joined with a colon ("Manuvia:hand").
    FBString GetFullName() const;

    class ChildList {
      public:
        // Takes ownership; null is ignored.
        void Add(FBModelTemplate* child);
        int GetCount() const { return static_cast<int>(m_items.size()); }
        FBModelTemplate* operator[](int i) const { return m_items.at(i).get(); }

      private:
        std::vector<std::unique_ptr<FBModelTemplate>> m_items;
    };
    class NodeList {
      public:
        void Add(FBAnimationNode* node) {
            if (node)
                m_items.push_back(node);
        }
        int GetCount() const { return static_cast<int>(m_items.size()); }
        FBAnimationNode* operator[](int i) const { return m_items.at(i); }

      private:
        std::vector<FBAnimationNode*> m_items;
    };

    FBString Prefix;
    FBString Name;
    FBModelTemplateType Type;
    FBPropertyVector3d DefaultTranslation;
    FBPropertyVector3d DefaultRotation;
    ChildList Children;
    NodeList AnimationNodes;
};

// The roots of a device's model templates; owns them.
class FBPropertyListModelTemplate {
  public:
    void Add(FBModelTemplate* root);
    int GetCount() const { return static_cast<int>(m_items.size()); }
    FBModelTemplate* operator[](int i) const { return m_items.at(i).get(); }

  private:
    std::vector<std::unique_ptr<FBModelTemplate>> m_items;
};

class FBBox : public FBComponent {
  public:
    static int TypeInfo;
    explicit FBBox(const char* name = nullptr) : FBComponent(name) {}
    const char* ClassName() override { return "FBBox"; }
    bool Is(int typeId) override { return typeId == FBBox::TypeInfo || FBComponent::Is(typeId); }
    int GetTypeId() override { return FBBox::TypeInfo; }
};

enum kDeviceOperations {
    kOpInit = 0,
    kOpStart = 1,
    kOpAutoDetect = 2,
    kOpStop = 3,
    kOpReset = 4,
    kOpDone = 5,
};

// I/O notification actions: the host asks to write the device's data (0, 1) in play or stop
// mode, or to read data back (2, 3).
enum kDeviceIOs {
    kIOPlayModeWrite = 0,
    kIOStopModeWrite = 1,
    kIOPlayModeRead = 2,
    kIOStopModeRead = 3,
};

enum FBDeviceSamplingMode {
    kFBHardwareTimestamp = 0,
    kFBHardwareFrequency = 1,
    kFBAutoFrequency = 2,
    kFBSoftwareTimestamp = 3,
};

// Store and retrieve requests, as bits.
enum kFbxObjectStore {
    kInit = 1,
    kAttributes = 2,
    kCleanup = 4,
};

class FBFbxObject;
class FBDevice;

// Online: setting it to true starts the device (DeviceOperation kOpStart) and keeps the
// result; setting it to false stops it. Setting the value it already has does nothing.
class FBPropertyDeviceOnline {
  public:
    explicit FBPropertyDeviceOnline(FBDevice* device) : m_device(device) {}
    FBPropertyDeviceOnline& operator=(bool online);
    operator bool() const { return m_online.load(); }
    bool Get() const { return m_online.load(); }

  private:
    friend class FBDevice;
    FBDevice* m_device;
    std::atomic<bool> m_online{false};
};

// A piece of hardware the host polls (DeviceIONotify) and evaluates (AnimationNodeNotify).
// Owns its output animation nodes and its model templates.
class FBDevice : public FBBox {
  public:
    static int TypeInfo;
    explicit FBDevice(const char* name = nullptr);
    ~FBDevice() override;

    const char* ClassName() override { return "FBDevice"; }
    bool Is(int typeId) override { return typeId == FBDevice::TypeInfo || FBBox::Is(typeId); }
    int GetTypeId() override { return FBDevice::TypeInfo; }

    // The host's default answer: true for kOpInit, false for everything else (it knows no
    // hardware).
    virtual bool DeviceOperation(kDeviceOperations operation);
    virtual void DeviceIONotify(kDeviceIOs action, FBDeviceNotifyInfo& info) {
        (void)action;
        (void)info;
    }
    virtual bool AnimationNodeNotify(FBAnimationNode* node, FBEvaluateInfo* info) {
        (void)node;
        (void)info;
        return true;
    }
    virtual bool FbxStore(FBFbxObject* object, kFbxObjectStore what) {
        (void)object;
        (void)what;
        return true;
    }
    virtual bool FbxRetrieve(FBFbxObject* object, kFbxObjectStore what) {
        (void)object;
        (void)what;
        return true;
    }

    // Makes an output node owned by this device; null for a null name or type.
    FBAnimationNode* AnimationNodeOutCreate(int userId, const char* name, const char* dataType);
    int GetAnimationNodeCount() const;
    FBAnimationNode* GetAnimationNode(int i) const;
    // The output node of that name and data type, or null.
    FBAnimationNode* FindAnimationNode(const char* name, const char* dataType) const;

    // Tells the host one sample has arrived (from DeviceIONotify).
    void AckOneSampleReceived() { m_samples.fetch_add(1); }
    kFBLongLong GetSampleCount() const { return m_samples.load(); }

    // Runs DeviceOperation and keeps Online in step: a start or reset sets it to the result,
    // a stop clears it.
    bool DeviceSendCommand(kDeviceOperations operation);

    // Host side: while true, output nodes hand out their record nodes.
    void SetRecording(bool on) { m_recording.store(on); }
    bool IsRecording() const { return m_recording.load(); }
    // Host side: the local time of the I/O notification in progress (stamps untimed keys).
    void SetNotifyTime(FBTime time) { m_notifyTime.store(time.Get()); }
    FBTime GetNotifyTime() const { return FBTime(m_notifyTime.load()); }

    FBPropertyString Status;
    FBPropertyString Information;
    FBPropertyString HardwareVersionInformation;
    FBPropertyTime SamplingPeriod;
    FBProperty<FBDeviceSamplingMode> SamplingMode{kFBHardwareTimestamp};
    FBPropertyDeviceOnline Online{this};
    FBPropertyString IconFilename;
    FBPropertyListModelTemplate ModelTemplate;
    FBPropertyEvent OnStatusChange;

  private:
    mutable std::mutex m_nodesMutex;
    std::vector<std::unique_ptr<FBAnimationNode>> m_nodes;
    std::atomic<kFBLongLong> m_samples{0};
    std::atomic<bool> m_recording{false};
    std::atomic<kFBLongLong> m_notifyTime{0};
};

enum FBTransportMode {
    kFBTransportPlay = 0,
    kFBTransportStop = 1,
    kFBTransportShuttle = 2,
    kFBTransportJog = 3,
};

// The host's transport; every instance reads the one process-wide mode (set by the host).
class FBPlayerControl {
  public:
    FBTransportMode GetTransportMode() const;
};

// One value of a stored field.
using FBFbxValue = std::variant<int, std::string>;
struct FBFbxField {
    std::string name;
    std::vector<FBFbxValue> values;
};

// The fields one object stores into a scene, in order. Writing appends fields; reading finds
// a field by name and then reads its values in order. Reads past the end or of the wrong kind
// give 0 or "" (the scene reader has already rejected malformed files, see fbhost.h).
// Used by one thread at a time.
class FBFbxObject {
  public:
    void FieldWriteI(const char* name, int value);
    void FieldWriteBegin(const char* name);
    void FieldWriteC(const char* text);
    void FieldWriteI(int value);
    void FieldWriteEnd();

    // The first value of that field as an integer; 0 when missing.
    int FieldReadI(const char* name);
    // True when the field exists; its values are read next.
    bool FieldReadBegin(const char* name);
    // The next value of the field being read; "" when none. Stays valid until the next read.
    const char* FieldReadC();
    int FieldReadI();
    void FieldReadEnd();

    std::vector<FBFbxField> Fields;

  private:
    int m_writing = -1;
    int m_reading = -1;
    std::size_t m_next = 0;
    std::string m_text;
};

// The system's user-interface idle event, shared by every instance.
class FBSystem {
  public:
    FBSystem();
    FBPropertyEvent& OnUIIdle;
};

// Shows a modal message; the host records it and answers 1 (the first button).
int FBMessageBox(const char* title, const char* message, const char* button1,
                 const char* button2 = nullptr, const char* button3 = nullptr,
                 int defaultButton = 0, int scroll = 0);

// A progress box, shown while it lives; the host records its caption and text when it is
// dropped.
class FBProgress {
  public:
    FBProgress() = default;
    ~FBProgress();
    FBProgress(const FBProgress&) = delete;
    FBProgress& operator=(const FBProgress&) = delete;
    FBPropertyString Caption;
    FBPropertyString Text;
    FBPropertyInt Percent;
};

#pragma GCC visibility pop
