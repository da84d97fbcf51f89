// A tiny ray tracer: enough shading and motion to make a frame look rendered.
#include "procedural.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace lumatrice {
namespace {

struct Vec {
  double x, y, z;
  Vec operator+(Vec o) const { return {x + o.x, y + o.y, z + o.z}; }
  Vec operator-(Vec o) const { return {x - o.x, y - o.y, z - o.z}; }
  Vec operator*(double s) const { return {x * s, y * s, z * s}; }
  Vec operator*(Vec o) const { return {x * o.x, y * o.y, z * o.z}; }
};
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec Norm(Vec a) { return a * (1.0 / std::sqrt(Dot(a, a))); }

struct Sphere {
  Vec centre;
  double radius;
  Vec colour;
};

constexpr double kPi = 3.14159265358979323846;
constexpr int kSpheres = 3;

struct Scene {
  Sphere spheres[kSpheres];
  Vec light;  // direction towards the light
  Vec eye;
};

Scene SceneAt(double s) {
  Scene sc;
  for (int i = 0; i < kSpheres; ++i) {
    const double a = s * 1.3 + i * 2.0 * kPi / kSpheres;
    const double bounce = std::fabs(std::sin(s * 3.0 + i * 1.7)) * 0.6;
    const double r = 0.55 + 0.15 * i;
    sc.spheres[i] = {{std::cos(a) * 1.8, r + bounce, std::sin(a) * 1.8 + 0.5}, r, {}};
  }
  sc.spheres[0].colour = {0.90, 0.25, 0.20};
  sc.spheres[1].colour = {0.20, 0.60, 0.95};
  sc.spheres[2].colour = {0.95, 0.80, 0.25};
  sc.light = Norm({std::cos(s * 0.7) * 0.8, 1.0, std::sin(s * 0.7) * 0.8 - 0.4});
  sc.eye = {0.0, 1.6, -5.5};
  return sc;
}

// Nearest hit along the ray: sphere index, -2 for the floor, -1 for none.
int Trace(const Scene& sc, Vec o, Vec d, double& t_hit) {
  int hit = -1;
  t_hit = 1e30;
  for (int i = 0; i < kSpheres; ++i) {
    const Vec oc = o - sc.spheres[i].centre;
    const double b = Dot(oc, d);
    const double c = Dot(oc, oc) - sc.spheres[i].radius * sc.spheres[i].radius;
    const double disc = b * b - c;
    if (disc < 0) continue;
    const double t = -b - std::sqrt(disc);
    if (t > 1e-6 && t < t_hit) t_hit = t, hit = i;
  }
  if (d.y < -1e-9) {
    const double t = -o.y / d.y;
    if (t > 1e-6 && t < t_hit) t_hit = t, hit = -2;
  }
  return hit;
}

Vec Sky(Vec d) {
  const double k = std::clamp(d.y * 0.5 + 0.5, 0.0, 1.0);
  return Vec{0.85, 0.88, 0.95} * (1.0 - k) + Vec{0.25, 0.45, 0.80} * k;
}

Vec Shade(const Scene& sc, Vec o, Vec d) {
  double t = 0;
  const int hit = Trace(sc, o, d, t);
  if (hit == -1) return Sky(d);
  const Vec p = o + d * t;
  Vec n, base;
  if (hit == -2) {
    n = {0, 1, 0};
    const bool odd = (int(std::floor(p.x)) + int(std::floor(p.z))) & 1;
    base = odd ? Vec{0.75, 0.75, 0.72} : Vec{0.30, 0.32, 0.35};
  } else {
    n = Norm(p - sc.spheres[hit].centre);
    base = sc.spheres[hit].colour;
  }
  double shadow_t = 0;
  const bool lit = Trace(sc, p + n * 1e-4, sc.light, shadow_t) == -1;
  const double diffuse = lit ? std::max(0.0, Dot(n, sc.light)) : 0.0;
  double spec = 0.0;
  if (lit && hit >= 0) {
    const Vec h = Norm(sc.light - d);
    spec = std::pow(std::max(0.0, Dot(n, h)), 60.0) * 0.8;
  }
  Vec c = base * (0.18 + 0.82 * diffuse) + Vec{1, 1, 1} * spec;
  if (hit == -2) {
    const double fog = std::exp(-t * 0.04);
    c = c * fog + Sky(d) * (1.0 - fog);
  }
  return c;
}

// Display gamma through a table: a pow per channel would cost more than the
// tracing.
constexpr int kGammaSteps = 4096;

struct GammaTable {
  std::uint8_t out[kGammaSteps + 1];
  GammaTable() {
    for (int i = 0; i <= kGammaSteps; ++i)
      out[i] = std::uint8_t(std::pow(double(i) / kGammaSteps, 1.0 / 2.2) * 255.0 + 0.5);
  }
};

std::uint8_t ToByte(double v) {
  static const GammaTable table;
  return table.out[int(std::clamp(v, 0.0, 1.0) * kGammaSteps + 0.5)];
}

}  // namespace

bool RenderProceduralFrame(FrameBuffer& frame, int width, int height, double seconds) {
  OIIO::ImageSpec spec(width, height, 3, OIIO::TypeDesc::UINT8);
  spec.attribute("Software", "lumatrice");
  // Fast PNG encoding: a render's frames are many and short-lived.
  spec.attribute("png:compressionLevel", 2);
  if (width <= 0 || height <= 0 || !frame.Reset(spec)) return false;
  const Scene sc = SceneAt(seconds);
  const double aspect = double(width) / height;
  const double fov = std::tan(40.0 * kPi / 360.0);
  const Vec forward = Norm(Vec{0.0, 0.9, 0.5} - sc.eye);
  const Vec right = Norm(Vec{forward.z, 0.0, -forward.x});
  const Vec up = {forward.y * right.z - forward.z * right.y,
                  forward.z * right.x - forward.x * right.z,
                  forward.x * right.y - forward.y * right.x};
  for (int y = 0; y < height; ++y) {
    std::uint8_t* px = reinterpret_cast<std::uint8_t*>(frame.row(y));
    const double v = (1.0 - 2.0 * (y + 0.5) / height) * fov;
    for (int x = 0; x < width; ++x, px += 3) {
      const double u = (2.0 * (x + 0.5) / width - 1.0) * fov * aspect;
      const Vec d = Norm(forward + right * u + up * v);
      const Vec c = Shade(sc, sc.eye, d);
      px[0] = ToByte(c.x);
      px[1] = ToByte(c.y);
      px[2] = ToByte(c.z);
    }
  }
  return true;
}

}  // namespace lumatrice
