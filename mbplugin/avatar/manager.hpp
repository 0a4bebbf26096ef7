#pragma once
// Polymorphic base of the kinematics models. The three hooks let a host drive a model
// without knowing its kind; a model that needs none of them keeps the empty defaults.

namespace Avatar {

class Manager {
  public:
    Manager() = default;
    virtual ~Manager() = default;
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    virtual void initialize() {}
    virtual void step() {}
    virtual void shutdown() {}
};

}  // namespace Avatar
