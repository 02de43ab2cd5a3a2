// Direction tables. A direction is a Neighbourhood index: 1 up, 3 left, 5 right, 7 down, 0, 2, 6
// and 8 the diagonals, 4 the centre (no direction). y grows downward.
#pragma once

#include "A.h"

namespace telvix {

inline constexpr A_long kDirectionUp = 1;
inline constexpr A_long kDirectionLeft = 3;
inline constexpr A_long kDirectionRight = 5;
inline constexpr A_long kDirectionDown = 7;

// 90° counter-clockwise on screen: right -> up -> left -> down -> right.
inline constexpr A_long kTurnLeft90[9] = {6, 3, 0, 7, 4, 1, 8, 5, 2};
// 90° clockwise.
inline constexpr A_long kTurnRight90[9] = {2, 5, 8, 1, 4, 7, 0, 3, 6};
// 45° counter-clockwise: the previous entry on the ring 0, 1, 2, 5, 8, 7, 6, 3.
inline constexpr A_long kTurnLeft45[9] = {3, 0, 1, 6, 4, 2, 7, 8, 5};
// 45° clockwise: the next entry on that ring.
inline constexpr A_long kTurnRight45[9] = {1, 2, 5, 0, 4, 8, 3, 6, 7};
inline constexpr A_long kOpposite[9] = {8, 7, 6, 5, 4, 3, 2, 1, 0};
// One step in a direction.
inline constexpr A_long kStepX[9] = {-1, 0, 1, -1, 0, 1, -1, 0, 1};
inline constexpr A_long kStepY[9] = {-1, -1, -1, 0, 0, 0, 1, 1, 1};

// The named entries of the frame seen when facing direction d (1, 3, 5 or 7).
struct DirectionFrame {
    A_long forward, back, left, right;
    A_long forwardLeft, forwardRight, backLeft, backRight;
};

constexpr DirectionFrame makeDirectionFrame(A_long d)
{
    return DirectionFrame{d,
                          kOpposite[d],
                          kTurnLeft90[d],
                          kTurnRight90[d],
                          kTurnLeft45[d],
                          kTurnRight45[d],
                          kTurnRight45[kOpposite[d]],
                          kTurnLeft45[kOpposite[d]]};
}

// Every direction's frame, formed at compile time: one lookup instead of a chain of table reads.
inline constexpr DirectionFrame kDirectionFrames[9] = {
    makeDirectionFrame(0), makeDirectionFrame(1), makeDirectionFrame(2),
    makeDirectionFrame(3), makeDirectionFrame(4), makeDirectionFrame(5),
    makeDirectionFrame(6), makeDirectionFrame(7), makeDirectionFrame(8)};

constexpr const DirectionFrame& directionFrame(A_long d) { return kDirectionFrames[d]; }

}  // namespace telvix
