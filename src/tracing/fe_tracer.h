// The finite-element ray tracer: one thread per ray applies the start face's boundary
// condition, then walks element to element, integrating the ray equation in each element's
// local coordinates with the solver S, handing each visit's absorbed power to the
// objective, and crossing interior faces without optics and boundary faces through their
// conditions.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "device/buffer.h"
#include "mesh/mesh_data.h"
#include "objectives/adjoint.h"
#include "objectives/deposit_record.h"
#include "objectives/light_transport.h"
#include "objectives/objective.h"
#include "objectives/optical_path.h"
#include "objectives/render.h"
#include "rays/ray.h"
#include "tracing/hex8_element.h"
#include "tracing/interface_optics.h"
#include "tracing/solvers.h"
#include "tracing/base_ray_tracer.h"

class ConfigTable;
class Mesh;
class RayCollection;

// Bounds of the walk: a ray ends after this many element visits (a ray trapped between
// reflecting faces or by total internal reflection would otherwise walk for ever), or when
// its power has fallen below this fraction of the power it entered the mesh with.
constexpr int kMaxElementVisits = 100000;
constexpr float kMinPowerFraction = 1e-9f;

// Carries a local point q on face g of the previous element onto face f of the next, whose
// in-face axes relate by the orientation code (0-7; other codes act as 0).
__host__ __device__ inline Vec3 transferAcrossFace(Vec3 q, int g, int f, int code)
{
    // The in-face axes of a face follow its normal axis cyclically (0 xi, 1 eta, 2 zeta).
    const int gAxis = faceNormalAxis(g), fAxis = faceNormalAxis(f);
    const float u = q[(gAxis + 1) % 3], v = q[(gAxis + 2) % 3];
    if (code < 0 || code > 7) code = 0;
    float a = (code & 4) ? v : u;
    float b = (code & 4) ? u : v;
    if (code & 2) a = -a;
    if (code & 1) b = -b;
    Vec3 p;
    p[fAxis] = faceSide(f);
    p[(fAxis + 1) % 3] = a;
    p[(fAxis + 2) % 3] = b;
    for (int i = 0; i < 3; ++i) p[i] = minf(maxf(p[i], -1.0f), 1.0f);
    return p;
}

// Bounds of one element visit. A step that leaves the element by at most kExitTolerance
// (local units) ends the visit; steps are aimed kExitAim past the face they head for, so
// that rounding cannot leave them just short of it. A visit that has not reached a face
// after kMaxVisitSteps steps ends the ray where it is (kUnfinishedVisit).
constexpr int kMaxVisitSteps = 1000;
constexpr float kExitTolerance = 1e-3f;
constexpr float kExitAim = 1e-5f;
constexpr int kUnfinishedVisit = -2;
// Largest optical depth per step where the absorptivity varies along the step (the
// nodal split assumes a uniform rate within each step).
constexpr float kDepthPerStep = 0.5f;

// How a visit ended.
enum class VisitEnd { Exit, Exhausted, Unfinished };

// A velocity component below this share of the largest one runs along the faces of its
// axis: a ray in a face plane of a regular mesh has exactly 0 there, and rounding in the
// local velocity of a rotated element leaves some 1e-7. Aimed at such a face, a ray lying in
// it would leave at once, and the neighbour, seeing the same noise with the other sign,
// would hand it straight back: a walk that never moves on.
constexpr float kAlongFace = 1e-6f;

__host__ __device__ inline bool runsAlongFaces(const Vec3& v, int a)
{
    return fabsf(v[a]) <= kAlongFace * maxf(fabsf(v.x), maxf(fabsf(v.y), fabsf(v.z)));
}

// The parameter along the local velocity v from q to the first face ahead, and the axis of
// that face (-1 when v is zero). Axes the ray runs along are not aimed at.
__host__ __device__ inline float distanceToExit(Vec3 q, Vec3 v, int* axis)
{
    float t = floatInfinity();
    *axis = -1;
    for (int a = 0; a < 3; ++a) {
        if (runsAlongFaces(v, a)) continue;
        const float d = maxf(((v[a] > 0.0f ? 1.0f : -1.0f) - q[a]) / v[a], 0.0f);
        if (d < t) {
            t = d;
            *axis = a;
        }
    }
    return t;
}

// The face through which a ray at local point q, moving with local velocity v, leaves the
// element: of the faces it lies on (within kOnFace) or beyond and moves out of, the one it
// is furthest past, then the one it moves out of fastest. A point on several faces at once
// (a ray in a face plane, along an edge, through a node) has left only through those it
// moves out of: the face it runs along leads to the neighbour that would hand it back. When
// no face qualifies (the path turned back within the exit tolerance), the nearest face.
constexpr float kOnFace = 1e-5f;
__host__ __device__ inline int leavingFace(Vec3 q, Vec3 v)
{
    int face = -1;
    float excess = -floatInfinity(), speed = 0.0f;
    for (int a = 0; a < 3; ++a) {
        const bool upper = q[a] >= 0.0f;
        const float past = fabsf(q[a]) - 1.0f;
        const float out = upper ? v[a] : -v[a];
        if (past < -kOnFace || runsAlongFaces(v, a) || !(out > 0.0f)) continue;
        if (past > excess || (past == excess && out > speed)) {
            excess = past;
            speed = out;
            face = 2 * ((a + 1) % 3) + (upper ? 1 : 0); // xi 2|3, eta 4|5, zeta 0|1
        }
    }
    return face >= 0 ? face : ElementFit::getExitFace(q, q);
}

// Growth and shrinking of an error-controlled step: the next step is the accepted one times
// 0.9 (tolerance / error)^(1/4), at most kStepGrowth times it; a rejected step is retried
// at that fraction of itself, at least kStepShrink of it.
constexpr float kStepGrowth = 5.0f;
constexpr float kStepShrink = 0.2f;

// Integrates one visit from `state` (after prepare and setFields) until it leaves the
// element, through the face it puts in `exitFace` (leavingFace). Every step is aimed at the face ahead along the
// current local velocity and shortened only by the solver's limits: the estimated error of a solver that gives one (a
// step above its tolerance is repeated shorter, and the next step is sized from the last one's error), otherwise the
// bend per step (kBendPerStep / |grad n|); the move per step in a curved element, the optical depth where the
// absorptivity varies. A step that still overshoots by more than kExitTolerance (the path curved) is repeated with half
// the size. In an affine element of uniform index the path is straight and the aimed step lands exactly on the exit
// face (rule Aimed).
template <typename S>
__host__ __device__ inline VisitEnd integrateVisit(const ElementFit& element, StateVector& state, float floorPower,
                                                   int* exitFace)
{
    constexpr StepRule rule = S::rule;
    constexpr bool estimates = requires(const S& solver, StateVector* s, const ElementFit& e, RayRate* end)
    {
        solver.advanceEstimating(s, e, *end, 1.0f, end);
    };
    const S solver;
    const bool straight = rule == StepRule::Aimed && element.affine && element.uniformIndex;
    const float tighten = rule == StepRule::Fine ? 1.0f / 16.0f : 1.0f;
    // An error-controlled solver keeps the bend limit where the element absorbs: the nodal
    // split of a step's deposit is exact for a uniform rate alpha n only, and over longer
    // steps in a graded index it would share the power less accurately than the path is
    // followed. The Fine reference keeps it too, and tightens the tolerance 16 times.
    const bool bendLimited = !estimates || rule == StepRule::Fine || element.absorptivityMax > 0.0f;
    const float bendCap = bendLimited ? S::kBendPerStep * tighten : floatInfinity();
    const float curvedCap = element.affine && rule != StepRule::Fine ? floatInfinity() : S::kCurvedStep * tighten;
    const float loss =
        (rule == StepRule::Fine ? element.absorptivityMax : element.absorptivityRange) * element.indexMax;
    const float depthCap = loss > 0.0f ? kDepthPerStep * tighten / loss : floatInfinity();
    const float tolerance = tighten; // of the solver's own
    // Still inside when within the element or on a face it does not move out of (a ray in a
    // face plane runs on the face, whichever element holds it).
    auto inside = [](Vec3 q, Vec3 velocity) {
        for (int a = 0; a < 3; ++a) {
            const float q2 = q[a] * q[a];
            if (q2 < 1.0f) continue;
            if (q2 == 1.0f && (runsAlongFaces(velocity, a) || q[a] * velocity[a] < 0.0f)) continue;
            return false;
        }
        return true;
    };
    float retry = floatInfinity(), errorCap = floatInfinity();
    // The rate at the state. An error-estimating solver hands it on from each step (it stays
    // valid through a rejected step, whose state is put back); for the others it is taken
    // afresh at every step, so that it is not held across the deposit (registers on a GPU).
    RayRate k1;
    if constexpr (estimates) k1 = element.rate(state.pos, state.dir);
    for (int steps = 0; steps < kMaxVisitSteps; ++steps) {
        if (!(state.energy > floorPower)) return VisitEnd::Exhausted;
        if constexpr (!estimates) k1 = element.rate(state.pos, state.dir);
        int axis;
        const float exit = distanceToExit(state.pos, k1.velocity, &axis);
        if (axis < 0) return VisitEnd::Unfinished; // the ray does not move
        float h = straight ? exit : exit + kExitAim / fabsf(k1.velocity[axis]);
        float cap = minf(minf(retry, errorCap), depthCap);
        if (k1.gradient > 0.0f) cap = minf(cap, bendCap / k1.gradient);
        const Vec3 v = k1.velocity;
        cap = minf(cap, curvedCap / maxf(fabsf(v.x), maxf(fabsf(v.y), fabsf(v.z))));
        const bool aimed = h <= cap;
        if (!aimed) h = cap;
        const Vec3 from = state.pos, dir = state.dir;
        const float pathLength = state.pathLength;
        RayRate next = k1;
        float error = 0.0f;
        if (straight) {
            state.pathLength += h * length(state.dir);
            state.pos = state.pos + v * h;
            if (aimed) state.pos[axis] = v[axis] > 0.0f ? 1.0f : -1.0f;
        } else if constexpr (estimates) {
            error = solver.advanceEstimating(&state, element, k1, h, &next) / tolerance;
        } else {
            solver.advance(&state, element, k1, h);
        }
        const bool good = error <= 1.0f; // false for a NaN error too
        if (good && inside(state.pos, next.velocity)) {
            retry = floatInfinity();
            if (estimates && !straight) errorCap = h * minf(0.9f / sqrtf(sqrtf(error)), kStepGrowth);
            if constexpr (estimates) k1 = next;
            absorbAlongStep(&state, element, from, v * h, h);
            continue;
        }
        const float overshoot = ElementFit::overshootError(state.pos);
        if (good && overshoot <= kExitTolerance) {
            if (estimates && !straight && overshoot > 0.0f) {
                // Back along the path to the face with the rate at the step's end.
                const Vec3 q = state.pos;
                const int a = fabsf(q.x) >= maxf(fabsf(q.y), fabsf(q.z)) ? 0 : fabsf(q.y) >= fabsf(q.z) ? 1 : 2;
                const float back = overshoot / fabsf(next.velocity[a]);
                if (q[a] * next.velocity[a] > 0.0f && back < h) {
                    state.pos = q - next.velocity * back;
                    state.dir = state.dir - next.bend * back;
                    state.pathLength -= back * length(state.dir);
                    h -= back;
                }
            }
            absorbAlongStep(&state, element, from, v * h, h);
            *exitFace = leavingFace(state.pos, next.velocity);
            return VisitEnd::Exit;
        }
        state.pos = from;
        state.dir = dir;
        state.pathLength = pathLength;
        if (good) retry = 0.5f * h;
        else errorCap = h * maxf(0.9f / sqrtf(sqrtf(error)), kStepShrink); // kStepShrink for a NaN too
    }
    return VisitEnd::Unfinished;
}

// Threads per block of the trace kernels. On GPUs with at least 100 KB of shared memory
// per multiprocessor (compute capability 8.0 and later; sm_86 and sm_89 hold five blocks,
// the rest eight) the kernels are built for eight blocks of 64 per multiprocessor, which
// leaves each thread 128 of the 64 K registers, and keep the visited element in shared
// memory (ElementSlot). Older GPUs (Turing's 64 KB would hold only three such blocks) keep
// it in registers, without a register limit.
constexpr int kTraceBlockSize = 64;
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
#define LUMETRA_TRACE_SLOT_IN_SHARED_MEMORY 1
#define LUMETRA_TRACE_LAUNCH_BOUNDS __launch_bounds__(kTraceBlockSize, 8)
#else
#define LUMETRA_TRACE_LAUNCH_BOUNDS __launch_bounds__(kTraceBlockSize)
#endif

// Where a trace thread keeps the element it visits and the ray's state in it. In shared
// memory (about 18 KB per block): the fitted element and the nodal deposits are some
// seventy values, which in registers would halve the threads a multiprocessor can hold;
// the compiler keeps what it uses most in registers and reads the rest from shared memory,
// which is nearly as fast. Each thread's slot is an odd number of 4-byte words long, so the
// 32 threads of a warp reading the same field hit 32 different banks. Elsewhere, locals.
struct VisitScratch {
    ElementFit element;
    StateVector state;
};
struct ElementSlot {
#if defined(LUMETRA_TRACE_SLOT_IN_SHARED_MEMORY)
    static_assert(alignof(VisitScratch) <= 4, "slots are laid out in 4-byte words");
    static constexpr int kWords = static_cast<int>((sizeof(VisitScratch) + 3) / 4) | 1;
    VisitScratch* scratch;
    __device__ ElementSlot()
    {
        __shared__ float slots[kTraceBlockSize * kWords];
        scratch = new (slots + threadIdx.x * kWords) VisitScratch();
    }
    __device__ ElementFit& element() { return scratch->element; }
    __device__ StateVector& state() { return scratch->state; }
#else
    VisitScratch scratch;
    __host__ __device__ ElementFit& element() { return scratch.element; }
    __host__ __device__ StateVector& state() { return scratch.state; }
#endif
};

// The ray's data during its walk.
struct WalkState {
    Vec3 position;
    Vec3 direction;
    float power;
    float pathLength;
    Vec3 exitPoint;       // local coordinates of the last element exit
    float nExit;          // index at the exit point
    int exitElement = -1; // the element exitPoint belongs to
};

// One element visit: the element e is entered through local face f (any other value: not
// known). Integrates the path to the element's surface, hands the visit to the objective
// and leaves position, direction, power, path length and the exit point in `walk`; returns
// the exit face, -1 when there is none or the power fell to `floorPower`, and
// kUnfinishedVisit when the visit could not reach a face (the ray then stays where it is,
// inside the element, with the power it still has).
//
// `element` is the thread's working copy of the element (see ElementSlot); every field the
// visit reads is set here first.
template <typename S, typename View>
__device__ int visitElement(const MeshDataFlat* mesh, int e, int f, WalkState& walk, View& objective, ElementSlot& slot,
                            float floorPower = 0.0f)
{
    ElementFit& element = slot.element();
    {
        // The lines the visit reads after its fits, or at its end, are asked for now, so
        // they arrive while it computes: the element's neighbours, its face orientations
        // (which the next visit reads) and the objective's per-node results.
        dev::prefetch(&mesh->elementNeighborTypes[6 * e]);
        dev::prefetch(&mesh->elementFaceOrientation[6 * e]);
        dev::prefetch(&mesh->elementNeighbors[6 * e]);
        dev::prefetch(&mesh->elementNeighborFaces[6 * e]);
        int nodes[8];
        for (int k = 0; k < 8; ++k) nodes[k] = mesh->getElementNode(e, k);
        objective.prepareElement(nodes);
        Vec3 corners[8];
        float index[8], absorptivity[8];
        for (int k = 0; k < 8; ++k) {
            const NodeRecord node = mesh->nodeRecords[nodes[k]];
            corners[k] = Vec3(node.x, node.y, node.z);
            index[k] = node.index;
            absorptivity[k] = node.absorptivity;
        }
        element.prepare(corners);
        element.setFields(index, absorptivity);
    }

    Vec3 entry;
    bool transferred = false;
    if (f >= 0 && f <= 5 && mesh->elementNeighborTypes[6 * e + f] == kNeighborInterior) {
        const int P = mesh->elementNeighbors[6 * e + f];
        const int g = mesh->elementNeighborFaces[6 * e + f];
        if (P >= 0 && g >= 0 && g <= 5) {
            const std::uint8_t code = mesh->elementFaceOrientation[6 * P + g];
            if (code != kNoOrientation) {
                entry = transferAcrossFace(walk.exitPoint, g, f, code);
                transferred = true;
            }
        }
    }
    if (!transferred && walk.exitElement == e && f >= 0 && f <= 5) {
        // Back into the element it just left through face f (reflected there): where it
        // left is where it enters, exactly on the face.
        entry = walk.exitPoint;
        for (int a = 0; a < 3; ++a) entry[a] = minf(maxf(entry[a], -1.0f), 1.0f);
        entry[faceNormalAxis(f)] = faceSide(f);
        transferred = true;
    }
    if (!transferred) entry = element.globalToLocal(walk.position, f);
    if (f >= 0 && f <= 5) {
        // Most rays leave through the face opposite their entry: that element's node list
        // is asked for now (a hint only; a wrong guess costs one line).
        const int ahead = mesh->elementNeighbors[6 * e + (f ^ 1)];
        if (ahead >= 0 && mesh->elementNeighborTypes[6 * e + (f ^ 1)] == kNeighborInterior)
            dev::prefetch(&mesh->elementNodes[8 * ahead]);
    }

    StateVector& state = slot.state();
    for (float& a : state.absorbed) a = 0.0f;
    state.pos = entry;
    state.pathLength = walk.pathLength;
    state.energy = walk.power;
    state.dir = walk.direction * element.index.at(entry);
    int exitFace = -1;
    const VisitEnd end = integrateVisit<S>(element, state, floorPower, &exitFace);

    // The node list is read again rather than held through the integration (on a GPU that
    // would be eight more registers; the line is still in cache).
    int nodes[8];
    for (int k = 0; k < 8; ++k) nodes[k] = mesh->getElementNode(e, k);
    if (element.absorptivityMax > 0.0f) {
        for (int k = 0; k < 8; ++k) state.absorbed[k] *= mesh->nodeRecords[nodes[k]].inverseVolume;
    }
    objective.interactElementLocal(&state, state.pos, nodes);
    walk.position = element.localToGlobal(state.pos);
    walk.direction = normalizedOrAsIs(state.dir);
    walk.power = state.energy;
    walk.pathLength = state.pathLength;
    walk.exitPoint = state.pos;
    walk.exitElement = e;
    const float nExit = element.index.at(state.pos);
    walk.nExit = nExit > 0.0f ? nExit : 1.0f;
    if (end == VisitEnd::Unfinished) return kUnfinishedVisit;
    if (end == VisitEnd::Exhausted) return -1;
    return exitFace;
}

// The index just inside the start face: interpolated at the start point in the ray's
// element hint, or the face's element; 1 when neither is usable. `element` is scratch.
__device__ inline float startIndex(const MeshDataFlat* mesh, int hint, int face, Vec3 position, ElementFit& element)
{
    int e = hint >= 0 && hint < mesh->nElements ? hint : mesh->faceElement[face];
    if (e < 0 || e >= mesh->nElements) return 1.0f;
    Vec3 corners[8];
    float index[8];
    for (int k = 0; k < 8; ++k) {
        const int node = mesh->getElementNode(e, k);
        if (node < 0 || node >= mesh->nNodes) return 1.0f;
        const NodeRecord r = mesh->nodeRecords[node];
        corners[k] = Vec3(r.x, r.y, r.z);
        index[k] = r.index;
    }
    element.prepare(corners);
    element.index.fit(index);
    const float n = element.index.at(element.globalToLocal(position));
    return n > 0.0f ? n : 1.0f;
}

__device__ inline Vec3 orientedFaceNormal(const MeshDataFlat* mesh, int face, Vec3 direction)
{
    const int N = mesh->nFaces;
    Vec3 n(mesh->faceNormals[face], mesh->faceNormals[N + face], mesh->faceNormals[2 * N + face]);
    return dot(direction, n) > 0.0f ? -n : n;
}

__device__ inline void recordExit(const RayExits& exits, int i, const WalkState& walk)
{
    const int n = exits.nRays;
    for (int c = 0; c < 3; ++c) {
        exits.positions[c * n + i] = walk.position[c];
        exits.directions[c * n + i] = walk.direction[c];
    }
    exits.power[i] = walk.power;
}

// How a walk ended, for the counters.
enum class WalkEnd : int { Left, VisitLimit, PowerFloor, NoExit };

// One ray's share of the counters, added once at the end of its walk so that a ray costs a
// handful of atomics however long it walks.
__device__ inline void countWalk(TraceStats* stats, float entered, float absorbed, float left, float inFlight,
                                 WalkEnd end, int visits, bool reflected)
{
    if (end == WalkEnd::VisitLimit && !reflected) dev::atomicAdd(&stats->visitLimitWithoutReflection, 1);
    dev::atomicAdd(&stats->raysEntered, 1);
    dev::atomicAdd(&stats->powerEntered, static_cast<double>(entered));
    dev::atomicAdd(&stats->powerAbsorbed, static_cast<double>(absorbed));
    if (left != 0.0f) dev::atomicAdd(&stats->powerLeft, static_cast<double>(left));
    if (end != WalkEnd::Left) {
        dev::atomicAdd(&stats->powerStopped, static_cast<double>(inFlight));
        dev::atomicAdd(end == WalkEnd::VisitLimit   ? &stats->stoppedByVisitLimit
                       : end == WalkEnd::PowerFloor ? &stats->stoppedByPowerFloor
                                                    : &stats->stoppedWithoutExit,
                       1);
    }
    if (visits > 0) dev::atomicAdd(&stats->elementVisits, static_cast<unsigned long long>(visits));
}

template <typename View, typename S>
__global__ void LUMETRA_TRACE_LAUNCH_BOUNDS traceRaysKernel(RaysDataFlat* rays, MeshDataFlat* mesh, View objective,
                                                            TraceStats* stats, RayExits exits, int firstRay, int endRay)
{
    const int i = firstRay + static_cast<int>(dev::globalThreadIndex());
    if (i >= endRay || i >= rays->nRays) return;
    ElementSlot slot;
    Ray ray = rays->getRay(i);
    if constexpr (View::kUnitPower) ray.power = 1.0f;
    const int s = ray.face;
    WalkState walk{ray.position, ray.direction, ray.power, 0.0f, ray.localExit, 1.0f, -1};

    if (s >= 0 && s < mesh->nFaces) {
        dev::atomicAdd(&stats->powerIncident, static_cast<double>(ray.power));
        Vec3 normal = orientedFaceNormal(mesh, s, ray.direction);
        const int bc = mesh->faceBC ? mesh->faceBC[s] : -1;
        bool refused = false;
        if (bc >= 0) {
            const float nInside = startIndex(mesh, ray.element, s, ray.position, slot.element());
            refused =
                interactStartFace(&ray, normal, nInside, faceConditionOf(mesh, bc), &normal) == StartOutcome::Refusal;
            walk.position = ray.position;
            walk.direction = refused ? reflectDirection(ray.direction, normal) : ray.direction;
            walk.power = ray.power;
        }
        Ray atInterface = ray;
        atInterface.index = i;
        atInterface.face = s;
        atInterface.normal = normal;
        objective.interactInterface(&atInterface);

        int e = mesh->faceElement[s];
        int f = mesh->faceLocalIndex[s];
        const float entered = walk.power;
        const float floorPower = entered * kMinPowerFraction;
        float absorbed = 0.0f, left = 0.0f;
        WalkEnd end = WalkEnd::NoExit;
        int visits = 0;
        bool reflected = false;
        while (!refused && e >= 0) {
            if (++visits > kMaxElementVisits) {
                --visits;
                end = WalkEnd::VisitLimit;
                break;
            }
            const float before = walk.power;
            const int x = visitElement<S>(mesh, e, f, walk, objective, slot, floorPower);
            absorbed += before - walk.power;
            if (x == kUnfinishedVisit) dev::atomicAdd(&stats->unfinishedVisits, 1);
            if (!(walk.power > floorPower)) {
                end = WalkEnd::PowerFloor;
                break;
            }
            if (x < 0) break;
            const int ex = 6 * e + x;
            if (mesh->elementNeighborTypes[ex] == kNeighborBoundary) {
                const int b = mesh->elementNeighbors[ex];
                if (b < 0 || b >= mesh->nFaces) break;
                const int bcExit = mesh->faceBC ? mesh->faceBC[b] : -1;
                if (bcExit < 0) { // the ray leaves the mesh
                    left += walk.power;
                    end = WalkEnd::Left;
                    break;
                }
                ray.position = walk.position;
                ray.direction = walk.direction;
                ray.power = walk.power;
                Vec3 used;
                const Vec3 n = normalizedOrAsIs(orientedFaceNormal(mesh, b, walk.direction));
                const ExitOutcome outcome = interactExitFace(&ray, n, walk.nExit, faceConditionOf(mesh, bcExit), &used);
                // What the face does not send back into the mesh has left it, the share a
                // transmitting face reflects included (the walk follows one branch).
                left += outcome == ExitOutcome::Departure ? walk.power : walk.power - ray.power;
                walk.position = ray.position;
                walk.direction = ray.direction;
                walk.power = ray.power;
                if (outcome == ExitOutcome::Departure) {
                    end = WalkEnd::Left;
                    break;
                }
                reflected = true;
                f = x; // back into the same element through the face it was reflected at
                continue;
            }
            const int g = mesh->elementNeighborFaces[ex];
            if (static_cast<unsigned>(g) > 5u) dev::printf("incorrect skip index: %d\n", g);
            e = mesh->elementNeighbors[ex];
            f = g;
        }
        objective.finishRay();
        if (refused) dev::atomicAdd(&stats->raysRefused, 1);
        else countWalk(stats, entered, absorbed, left, walk.power, end, visits, reflected);
    } else {
        dev::atomicAdd(&stats->raysMissed, 1);
        dev::atomicAdd(&stats->powerMissed, static_cast<double>(ray.power));
    }
    if (exits.power) recordExit(exits, i, walk);
    if (rays->seeds && !View::kKeepsSeeds) rays->seeds[i] = ray.seed;
}

template <typename O, typename S>
class FiniteElementRayTracer : public BaseRayTracer {
public:
    void traceRays(RayCollection& rays, Mesh& mesh) override;
    void config(const ConfigTable& table, Mesh& mesh) override;
    void config(const std::string& outputFile, int size) override { objective.config(outputFile, size); }
    void result(Mesh& mesh) override { objective.result(mesh); }
    void result(Mesh& mesh, const double* deviceField) override { objective.result(mesh, deviceField); }
    void result(Mesh& mesh, const double* hostFields, int count) override { objective.result(mesh, hostFields, count); }
    void getResult(double* host) override { objective.getResult(host); }
    void resetResult() override { objective.resetResult(); }
    double* getResultArrayDevicePtr() override { return objective.getResultArrayDevicePtr(); }
    Objective* getObjective() override { return &objective; }
    TraceStats lastTraceStats() const override { return stats_; }
    RayExits lastRayExits() const override
    {
        return {exitPositions_.data(), exitDirections_.data(), exitPower_.data(), static_cast<int>(exitPower_.size())};
    }

    O objective;

private:
    TraceStats stats_{};
    dev::DeviceArray<float> exitPositions_, exitDirections_, exitPower_;
};
