// The compiled part of the Python package `sph` (imported as sph._sph): the
// Simulation class with NumPy views of its particles, the model's constants,
// and what sph.dataset borrows from the headless tools (result files written
// whole or not at all, the terminal progress line).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>
#include <sph_version.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "parallel/run_parallel.h"
#include "progress_line.h"
#include "simulation.h"
#include "solver/parameters.h"
#include "solver/seeding.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace sph {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t INT32_TOP = std::numeric_limits<int32_t>::max();
// How long a step runs frames without the interpreter; then it looks for
// Ctrl-C (a KeyboardInterrupt keeps the frames already run).
constexpr auto SIGNAL_CHECK_INTERVAL = std::chrono::milliseconds(100);

[[noreturn]] void raiseOSError(const std::string& message) {
  PyErr_SetString(PyExc_OSError, message.c_str());
  throw py::error_already_set();
}

// An int, or anything with __index__ such as NumPy's integers (not a bool),
// from `low` to `high`: the limits the tools' command line states.
int32_t wholeNumber(py::handle value, const std::string& name, int64_t low, int64_t high) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
    throw py::type_error(name + " must be a whole number, not " + Py_TYPE(value.ptr())->tp_name);
  const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  const long long parsed = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0 || parsed < low || parsed > high)
    throw py::value_error(name + ": " + std::string(py::str(number)) + " is not a whole number from " +
                          std::to_string(low) + " to " + std::to_string(high));
  return int32_t(parsed);
}

BlockLayers blockLayers(py::handle value) {
  if (!PySequence_Check(value.ptr()) || py::isinstance<py::str>(value))
    throw py::type_error("layers must be a sequence (X, Y, Z)");
  const auto items = py::reinterpret_borrow<py::sequence>(value);
  if (items.size() != 3)
    throw py::value_error("layers must be three whole numbers (X, Y, Z) from 1 to " +
                          std::to_string(MAX_BLOCK_LAYERS) + ": a block that fits in the box");
  return {wholeNumber(items[0], "layers", 1, MAX_BLOCK_LAYERS), wholeNumber(items[1], "layers", 1, MAX_BLOCK_LAYERS),
          wholeNumber(items[2], "layers", 1, MAX_BLOCK_LAYERS)};
}

// None, one key name, or any iterable of key names.
std::vector<KeyHold> heldArrows(py::handle hold) {
  std::vector<KeyHold> holds;
  if (hold.is_none()) return holds;
  const py::object names = py::isinstance<py::str>(hold) ? py::make_tuple(hold) : py::reinterpret_borrow<py::object>(hold);
  for (const py::handle name : py::iter(names)) {
    if (!py::isinstance<py::str>(name))
      throw py::type_error(std::string("hold takes key names, not ") + Py_TYPE(name.ptr())->tp_name);
    holds.emplace_back();
    if (!arrowHold(name.cast<std::string>(), holds.back()))
      throw py::value_error("hold: " + std::string(py::repr(name)) + " is not an arrow key (up, down, left or right)");
  }
  return holds;
}

// Runs `count` frames, without the interpreter except to look for signals.
void step(Simulation& simulation, py::handle frames, py::handle hold) {
  const int32_t count = wholeNumber(frames, "frames", 0, INT32_TOP);
  const std::vector<KeyHold> holds = heldArrows(hold);
  // A second step of the same simulation from another thread would mix its
  // frames and keys into this one's.
  if (simulation.stepping) throw std::runtime_error("this simulation is being stepped in another thread");
  simulation.stepping = true;
  struct Done {
    Simulation& simulation;
    ~Done() { simulation.stepping = false; }
  } done{simulation};
  for (int32_t run = 0; run < count;) {
    {
      py::gil_scoped_release release;
      const Clock::time_point until = Clock::now() + SIGNAL_CHECK_INTERVAL;
      do runSimulationFrame(simulation, holds);
      while (++run < count && Clock::now() < until);
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

// A read-only NumPy view of one field of every particle record, which keeps
// `owner` (the Simulation) alive. The records never move once seeded.
template <class Field>
py::array particleField(py::handle owner, std::size_t offset, bool vector) {
  const Simulation& simulation = owner.cast<const Simulation&>();
  const auto* data = reinterpret_cast<const char*>(simulation.system().particles) + offset;
  const py::ssize_t count = simulation.system().particleCount;
  std::vector<py::ssize_t> shape{count}, strides{py::ssize_t(sizeof(Particle))};
  if (vector) {
    shape.push_back(3);
    strides.push_back(sizeof(Field));
  }
  py::array view(py::dtype::of<Field>(), shape, strides, data, owner);
  view.attr("flags").attr("writeable") = false;
  return view;
}

std::string stateCsv(const Simulation& simulation) {
  py::gil_scoped_release release;
  return simulationStateCsv(simulation);
}

void bindSimulation(py::module_& module) {
  py::class_<Simulation>(module, "Simulation", R"(The liquid in its box, run frame by frame as the programs run it.

Simulation(threads=1, layers=(20, 20, 40)) seeds the block of X * Y * Z
particles (the programs' block of 16000 by default) and computes each pass on
`threads` worker threads. The same threads, layers and keys give the same
bits as sph-bench. The particle arrays are read-only NumPy views of the
simulation's own memory: they follow every step (copy() keeps a snapshot)
and keep the simulation alive.)")
      .def(py::init([](py::handle threads, py::handle layers) {
             const int32_t threadCount = wholeNumber(threads, "threads", 1, MAX_THREAD_COUNT);
             const BlockLayers block = blockLayers(layers);
             py::gil_scoped_release release;
             return std::make_unique<Simulation>(threadCount, block);
           }),
           "threads"_a = 1, "layers"_a = py::make_tuple(PROGRAM_BLOCK.x, PROGRAM_BLOCK.y, PROGRAM_BLOCK.z))
      .def("step", &step, "frames"_a, "hold"_a = py::none(),
           R"(Runs `frames` frames with the arrow keys in `hold` held (a key name or
several: "up", "down", "left", "right"): each frame is the solver step, the
gravity update and the box's turn, 2 degrees per held key, as in the window.)")
      .def("digest", [](const Simulation& s) { return sha256Hex(stateCsv(s)); },
           "The SHA-256 (hex) of the state as sph-bench --dump writes it.")
      .def("state_csv",
           [](const Simulation& s, const std::filesystem::path& path) {
             const std::string text = stateCsv(s);
             std::string error;
             bool written;
             {
               py::gil_scoped_release release;
               written = writeFileAtomically(path.string(), text, error);
             }
             if (!written) raiseOSError(error);
           },
           "path"_a, "Writes the state to `path` as sph-bench --dump does: whole or not at all.")
      .def_property_readonly("positions", [](py::handle self) {
        return particleField<float>(self, offsetof(Particle, position), true);
      }, "(N, 3) float32: each particle's position, in the box's coordinates")
      .def_property_readonly("velocities", [](py::handle self) {
        return particleField<float>(self, offsetof(Particle, velocity), true);
      }, "(N, 3) float32: each particle's velocity")
      .def_property_readonly("density", [](py::handle self) {
        return particleField<float>(self, offsetof(Particle, density), false);
      }, "(N,) float32")
      .def_property_readonly("pressure", [](py::handle self) {
        return particleField<float>(self, offsetof(Particle, pressure), false);
      }, "(N,) float32")
      .def_property_readonly("masses", [](py::handle self) {
        return particleField<float>(self, offsetof(Particle, mass), false);
      }, "(N,) float32")
      .def_property_readonly("ids", [](py::handle self) {
        return particleField<int32_t>(self, offsetof(Particle, id), false);
      }, "(N,) int32: each particle's id, its index")
      .def_property_readonly("frame", [](const Simulation& s) { return simulationClock(s).frame; },
                             "Frames run since seeding.")
      .def_property_readonly("gravity", [](const Simulation& s) {
        const FrameState state = simulationClock(s).state;
        return py::make_tuple(state.gravity[0], state.gravity[1], state.gravity[2]);
      }, "The gravity (x, y, z) the next frame's step uses, in the box's coordinates.")
      .def_property_readonly("angles", [](const Simulation& s) {
        const FrameState state = simulationClock(s).state;
        return py::make_tuple(state.angleX, state.angleY);
      }, "The box's turn in degrees about the horizontal and the vertical axis.")
      .def_property_readonly("threads", [](const Simulation& s) { return s.threads; })
      .def_property_readonly("layers", [](const Simulation& s) {
        return py::make_tuple(s.layers.x, s.layers.y, s.layers.z);
      })
      .def("__repr__", [](const Simulation& s) {
        return "<sph.Simulation threads=" + std::to_string(s.threads) + " layers=(" + std::to_string(s.layers.x) +
               ", " + std::to_string(s.layers.y) + ", " + std::to_string(s.layers.z) +
               ") frame=" + std::to_string(simulationClock(s).frame) + ">";
      });
}

// What sph.dataset takes from the headless tools.
void bindToolParts(py::module_& module) {
  // Closed and removed with its Python object unless committed.
  struct OwnedPendingFile : PendingFile {
    ~OwnedPendingFile() { discardPendingFile(*this); }
  };
  py::class_<OwnedPendingFile>(module, "_PendingFile", "A result file written unnamed, named only by commit().")
      .def(py::init([](const std::filesystem::path& path) {
        auto file = std::make_unique<OwnedPendingFile>();
        std::string error;
        // Opening refuses all that the tools' early check refuses, and a
        // device or pipe besides, so it is the whole check here.
        if (!openPendingFile(path.string(), *file, error)) raiseOSError(error);
        return file;
      }))
      .def("fileno", [](const OwnedPendingFile& file) { return file.descriptor; })
      .def("commit", [](OwnedPendingFile& file) {
        std::string error;
        if (!commitPendingFile(file, error)) raiseOSError(error);
      })
      .def("discard", [](OwnedPendingFile& file) { discardPendingFile(file); });
  py::class_<ProgressLine>(module, "_ProgressLine", "frames done/total, frames/s on a terminal's standard error")
      .def(py::init([] {
        auto line = std::make_unique<ProgressLine>();
        startProgress(*line, isatty(STDERR_FILENO) == 1, stderr, Clock::now());
        return line;
      }))
      .def("update", [](ProgressLine& line, int32_t done, int32_t total) { updateProgress(line, done, total, Clock::now()); })
      .def("finish", &finishProgress);
}

}  // namespace
}  // namespace sph

PYBIND11_MODULE(_sph, module) {
  using namespace sph;
  module.doc() = "The liquid-in-a-box solver, frame for frame as the programs run it.";
  module.attr("__version__") = SPH_VERSION;
  module.attr("KEYS") = py::make_tuple("up", "down", "left", "right");
  module.attr("MAX_THREADS") = MAX_THREAD_COUNT;
  module.attr("MAX_LAYERS") = MAX_BLOCK_LAYERS;
  module.attr("TIME_STEP") = 1.0f / INV_TIME_STEP;
  module.attr("BOX") = py::make_tuple(BOX_X, BOX_Y, BOX_Z);
  // The kernel's radius and the seeded lattice's step, in the positions'
  // (world) units: what learned simulators call the connectivity radius and dx.
  module.attr("SMOOTHING_LENGTH") = SMOOTHING_LENGTH;
  module.attr("SPACING") = float((SEED_STEP * double(0.07f)) * double(WORLD_SCALE));
  bindSimulation(module);
  bindToolParts(module);
}
