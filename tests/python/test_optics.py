"""Interface optics on the device: Fresnel, Snell, total internal reflection, rough
surfaces drawn with the rays' own seeds."""

import math

import numpy as np
import pytest

SPLITMIX_0 = 0xE220A8397B1DCDAF


@pytest.fixture(scope="module")
def t():
    from lumetra import _testing

    return _testing


def splitmix(i):
    z = (i + 0x9E3779B97F4A7C15) % 2**64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) % 2**64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) % 2**64
    return z ^ (z >> 31)


def start(t, direction, n_outside, n_inside, **kw):
    return t.interact(True, [0, 0, 0], direction, 1.0, 99, 0, [0, 0, -1], n_inside, real=n_outside, **kw)


def exit_(t, direction, n_inside, n_outside, **kw):
    return t.interact(False, [0, 0, 0], direction, 1.0, 99, 0, [0, 0, -1], n_inside, real=n_outside, **kw)


def test_normal_incidence_into_glass_keeps_96_percent(t):
    r = start(t, [0, 0, 1], 1.0, 1.5)
    assert r["outcome"] == "entry"
    assert r["direction"] == (0.0, 0.0, 1.0)
    assert r["power"] == pytest.approx(0.96, abs=1e-6)
    assert t.fresnel_reflectance(1.0, 1.0, 1.5, 0.0) == pytest.approx(0.04, abs=1e-7)


@pytest.mark.parametrize("n1,n2", [(1.0, 1.5), (1.5, 1.0), (1.0, 2.4), (1.33, 1.5)])
def test_refraction_obeys_snell(t, n1, n2):
    critical = math.asin(min(1.0, n2 / n1))
    for degrees in (5, 20, 35, 50, 65, 80):
        theta = math.radians(degrees)
        if theta >= critical:
            continue
        r = start(t, [math.sin(theta), 0, math.cos(theta)], n1, n2)
        assert r["outcome"] == "entry"
        d = np.array(r["direction"])
        assert np.linalg.norm(d) == pytest.approx(1.0, abs=1e-6)
        sin_t = math.hypot(d[0], d[1])
        assert n1 * math.sin(theta) == pytest.approx(n2 * sin_t, abs=3e-6)
        assert d[2] > 0  # onward into the mesh


def test_total_internal_reflection_keeps_all_power(t):
    critical = math.asin(1 / 1.5)
    for theta in (critical + 0.01, math.radians(60), math.radians(85)):
        d = [math.sin(theta), 0, math.cos(theta)]
        r = exit_(t, d, 1.5, 1.0)
        assert r["outcome"] == "reflection"
        assert r["power"] == 1.0
        assert r["direction"] == pytest.approx((d[0], 0, -d[2]), abs=1e-6)
    assert exit_(t, [math.sin(critical - 0.01), 0, math.cos(critical - 0.01)], 1.5, 1.0)["outcome"] == "departure"
    # Entering a rarer medium beyond the critical angle is refused.
    assert start(t, [math.sin(1.2), 0, math.cos(1.2)], 1.5, 1.0)["outcome"] == "refusal"


def test_reflecting_face_between_equal_indices_follows_schlick_when_asked(t):
    normal = exit_(t, [0, 0, 1], 1.3, 1.3, interaction_type=1, fresnel="schlick")
    assert normal["outcome"] == "reflection" and normal["power"] == 0.0
    assert normal["direction"] == (0.0, 0.0, -1.0)
    grazing = exit_(t, [1, 0, 0], 1.3, 1.3, interaction_type=1, fresnel="schlick")
    assert grazing["power"] == 1.0
    c = math.cos(math.radians(60))
    r = exit_(t, [math.sin(math.radians(60)), 0, c], 1.3, 1.3, interaction_type=1, fresnel="schlick")
    assert r["power"] == pytest.approx((1 - c) ** 5, rel=1e-5)
    assert exit_(t, [math.sin(math.radians(60)), 0, c], 1.3, 1.3, interaction_type=1)["power"] == 0.0
    # A reflecting start face refuses the ray.
    assert start(t, [0, 0, 1], 1.0, 1.5, interaction_type=1)["outcome"] == "refusal"


@pytest.mark.parametrize("n1,n2", [(1.0, 1.5), (1.5, 1.0), (1.48, 1.52), (1.52, 1.48), (1.48, 1.48)])
def test_exact_reflectance_meets_the_closed_forms(t, n1, n2):
    """Entering from index n1 into n2 on the device: the power kept is 1 - R of the Fresnel
    equations; R is ((n1 - n2) / (n1 + n2))^2 at normal incidence, 0 for equal indices at every
    angle, r_s^2 / 2 at Brewster's angle (r_p = 0), and the ray is refused past the critical angle."""

    def kept(theta):
        r = start(t, [math.sin(theta), 0, math.cos(theta)], n1, n2)
        return r["power"] if r["outcome"] == "entry" else None

    assert kept(0.0) == pytest.approx(1 - ((n1 - n2) / (n1 + n2)) ** 2, abs=1e-6)
    if n1 == n2:
        assert all(kept(math.radians(d)) == 1.0 for d in (30, 60, 75, 85, 89))
        return
    brewster = math.atan(n2 / n1)
    theta_t = math.asin(n1 * math.sin(brewster) / n2)
    rs = (n1 * math.cos(brewster) - n2 * math.cos(theta_t)) / (n1 * math.cos(brewster) + n2 * math.cos(theta_t))
    assert kept(brewster) == pytest.approx(1 - rs * rs / 2, abs=1e-6)
    if n1 > n2:
        critical = math.asin(n2 / n1)
        assert kept(critical + 1e-3) is None
        assert 0.0 < kept(critical - 1e-3) < kept(critical - 0.1)  # R rises to 1 at the critical angle


def test_imaginary_index_raises_reflectance_at_exit_faces_only(t):
    plain = exit_(t, [0.3, 0, math.sqrt(1 - 0.09)], 1.5, 1.0, interaction_type=1)
    lossy = exit_(t, [0.3, 0, math.sqrt(1 - 0.09)], 1.5, 1.0, interaction_type=1, imag=2.0)
    assert lossy["power"] > plain["power"]
    assert t.fresnel_reflectance(1.0, 1.5, 1.0, 2.0) == pytest.approx((0.25 + 4) / (6.25 + 4), rel=1e-6)
    assert start(t, [0, 0, 1], 1.0, 1.5, imag=2.0)["power"] == start(t, [0, 0, 1], 1.0, 1.5)["power"]


def test_smooth_or_zero_roughness_leaves_the_seed(t):
    for rough, roughness in ((False, 0.5), (True, 0.0)):
        r = start(t, [0, 0, 1], 1.0, 1.5, rough=rough, roughness=roughness)
        assert r["seed"] == 99
        assert r["normal"] == (0.0, 0.0, -1.0)
    rough = start(t, [0, 0, 1], 1.0, 1.5, rough=True, roughness=0.2)
    assert rough["seed"] != 99
    assert rough["normal"][2] < 0  # turned against the ray


def test_microfacet_normals_follow_the_beckmann_law(t):
    alpha, count = 0.3, 20000
    normals, seeds = t.sample_microfacet_normals([0, 0, 1], alpha, [12345] * count, list(range(count)))
    assert np.allclose(np.linalg.norm(normals, axis=1), 1, atol=1e-5)
    cos2 = normals[:, 2].astype(np.float64) ** 2
    x = (1 - cos2) / cos2 / alpha**2  # tan^2(theta) / alpha^2: exponential with mean 1
    assert x.mean() == pytest.approx(1.0, abs=0.04)
    assert np.mean(x < math.log(2)) == pytest.approx(0.5, abs=0.015)  # the median
    assert np.mean(x > 3) == pytest.approx(math.exp(-3), abs=0.006)
    azimuth = np.arctan2(normals[:, 1], normals[:, 0])
    histogram, _ = np.histogram(azimuth, bins=12, range=(-np.pi, np.pi))
    expected = count / 12
    assert np.sum((histogram - expected) ** 2 / expected) < 35  # chi-square, 11 degrees of freedom
    # Every seed advanced; equal seeds on different rays gave different normals.
    assert 12345 not in seeds
    assert len({tuple(n) for n in normals.tolist()}) == count


def test_seed_zero_falls_back_to_the_ray_index(t):
    for index in (0, 1, 77):
        a, seed_a = t.sample_microfacet_normals([0, 0, 1], 0.2, [0], [index])
        b, seed_b = t.sample_microfacet_normals([0, 0, 1], 0.2, [splitmix(index) or 0xA4093822299F31D0], [index])
        assert np.array_equal(a, b) and seed_a == seed_b
    assert splitmix(0) == SPLITMIX_0


def test_tiny_roughness_barely_tilts_the_normal(t):
    normals, _ = t.sample_microfacet_normals([0, 1, 0], 1e-9, [5] * 200, list(range(200)))
    tilt = np.arccos(np.clip(normals[:, 1].astype(np.float64), -1, 1))
    assert np.all(tilt < 1e-5)
