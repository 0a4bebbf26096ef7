#pragma once
// Six-degree-of-freedom pose input: values 0..2 are the position (x, y, z, in the hand
// model's units), values 3..5 rotation angles in radians about the fixed x, y and z axes,
// applied in that order (R = Rz * Ry * Rx).

#include "handsim/kpxdevice.hpp"
#include "handsim/kpxtransform3d.hpp"

class kpx6DofDevice : public kpxDevice {
  public:
    kpx6DofDevice();
    ~kpx6DofDevice() override;

    // Throws kpxBaseException* for an index outside 0..5.
    void setValue(int index, double value);
    double getValue(int index) const;

    // The pose as a transform (rotation, then translation).
    kpxTransform3D getTransform() const;
    void getTransform(kpxTransform3D& out_t) const { out_t = getTransform(); }

  private:
    double m_values[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
};
