#pragma once
// A hand with force feedback: the hand model plus the grasp exoskeleton that pushes back on
// its fingers. Its 16 contact patches (kpxPhalanx numbering, the grasp's own) are handed to
// the grasp on construction, before anything is sent, and every simulation step sends them.

#include "handsim/kpxhumanhand.hpp"

class kpxVexaGrasp;

class kpxCFHumanHand : public kpxHumanHand {
  public:
    // Neither master nor grasp is owned; both must outlive the hand. Throws
    // kpxBaseException* for a null master or grasp or a scale that is not positive.
    kpxCFHumanHand(kpxHandMaster* master, kpxVexaGrasp* grasp, double scale = 1.0,
                   GHM::Handedness handedness = GHM::RIGHT_HAND);
    // Hands the grasp back its own (released) patches.
    ~kpxCFHumanHand() override;

    kpxVexaGrasp* getGrasp() const { return m_grasp; }
    // One force packet from the current patches.
    void sendForces() override;

  private:
    kpxVexaGrasp* m_grasp;
};
