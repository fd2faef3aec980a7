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
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "parallel/run_parallel.h"
#include "progress_line.h"
#include "simulation.h"
#include "solver/memory.h"
#include "solver/parameters.h"
#include "solver/seeding.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace sph {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t INT32_TOP = std::numeric_limits<int32_t>::max();
// How long a step runs without the interpreter; then, at the next pause
// between two parts of a frame, it looks for Ctrl-C (see SignalCheck).
constexpr auto SIGNAL_CHECK_INTERVAL = std::chrono::milliseconds(100);

// The OSError that errno names (PermissionError for EACCES,
// FileNotFoundError for ENOENT), with the tools' message as its text.
[[noreturn]] void raiseOSError(const std::string& message, int errorNumber) {
  if (errorNumber == 0) PyErr_SetString(PyExc_OSError, message.c_str());
  else PyErr_SetObject(PyExc_OSError, py::make_tuple(errorNumber, message).ptr());
  throw py::error_already_set();
}

// Python's bool and NumPy's (numpy.bool_, numpy.bool from NumPy 2), which
// NumPy 1 still lets pass as an index.
bool isBool(py::handle value) {
  const char* type = Py_TYPE(value.ptr())->tp_name;
  return PyBool_Check(value.ptr()) || std::strcmp(type, "numpy.bool_") == 0 || std::strcmp(type, "numpy.bool") == 0;
}

// An int, or anything with __index__ such as NumPy's integers (not a bool),
// from `low` to `high`: the limits the tools' command line states.
int32_t wholeNumber(py::handle value, const std::string& name, int64_t low, int64_t high) {
  if (isBool(value) || !PyIndex_Check(value.ptr()))
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

// None, one key name, or any iterable of key names but a mapping, whose
// values (True, False, a count...) would be passed over unread.
std::vector<KeyHold> heldArrows(py::handle hold) {
  std::vector<KeyHold> holds;
  if (hold.is_none()) return holds;
  static const py::handle mapping = py::object(py::module_::import("collections.abc").attr("Mapping")).release();
  if (PyObject_IsInstance(hold.ptr(), mapping.ptr()) == 1)
    throw py::type_error(std::string("hold takes key names, not a mapping (") + Py_TYPE(hold.ptr())->tp_name +
                         "): pass the names of the keys held");
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

// The simulation behind `self`, refused unless __init__ made it: an object
// made by Simulation.__new__ alone has no simulation to read.
Simulation& made(py::handle self) {
  if (!py::isinstance<Simulation>(self))
    throw py::type_error(std::string("a Simulation is needed, not ") + Py_TYPE(self.ptr())->tp_name);
  const auto holder = reinterpret_cast<py::detail::instance*>(self.ptr())->get_value_and_holder();
  if (!holder.holder_constructed())
    throw std::runtime_error("this Simulation was never initialised (__init__ did not run): make one with "
                             "sph.Simulation(threads, layers)");
  return *holder.value_ptr<Simulation>();
}

// Ctrl-C during a step: every SIGNAL_CHECK_INTERVAL, at the next pause
// between two parts of a frame (or between two frames), the interpreter's
// lock is taken for a moment to run the signal handlers. A handler's
// exception (KeyboardInterrupt) stops the step, undoing the frame under way,
// and is raised when the step returns.
struct SignalCheck final : FrameInterruption {
  Clock::time_point next = Clock::now() + SIGNAL_CHECK_INTERVAL;
  bool interrupted = false;
  bool due() override { return Clock::now() >= next; }
  bool stop() override {
    py::gil_scoped_acquire interpreter;
    interrupted = PyErr_CheckSignals() != 0;  // the exception stays set for step
    next = Clock::now() + SIGNAL_CHECK_INTERVAL;
    return interrupted;
  }
};

// Runs `count` frames, without the interpreter except to look for signals.
void step(py::handle self, py::handle frames, py::handle hold) {
  Simulation& simulation = made(self);
  const int32_t count = wholeNumber(frames, "frames", 0, INT32_TOP);
  const std::vector<KeyHold> holds = heldArrows(hold);
  // A second step of the same simulation from another thread would mix its
  // frames and keys into this one's.
  if (!beginStep(simulation)) throw std::runtime_error("this simulation is being stepped in another thread");
  struct Done {
    Simulation& simulation;
    ~Done() { endStep(simulation); }
  } done{simulation};
  SignalCheck check;
  {
    py::gil_scoped_release release;
    for (int32_t run = 0; run < count; ++run)
      if (!runSimulationFrame(simulation, holds, check) || (check.due() && check.stop())) break;
  }
  if (check.interrupted) throw py::error_already_set();
}

// A read-only NumPy view of one field of every particle record, which keeps
// `owner` (the Simulation) alive. The records never move once seeded.
template <class Field>
py::array particleField(py::handle owner, std::size_t offset, bool vector) {
  const Simulation& simulation = made(owner);
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

std::string stateCsv(py::handle self) {
  const Simulation& simulation = made(self);
  py::gil_scoped_release release;
  return simulationStateCsv(simulation);
}

std::string describe(py::handle self) {
  const Simulation& s = made(self);
  return "<sph.Simulation threads=" + std::to_string(s.threads) + " layers=(" + std::to_string(s.layers.x) + ", " +
         std::to_string(s.layers.y) + ", " + std::to_string(s.layers.z) +
         ") frame=" + std::to_string(simulationClock(s).frame) + ">";
}

// The arrays' documentation: shape, type, what and in which units.
constexpr const char* POSITIONS_DOC = R"((N, 3) float32, read-only view: each particle's position (x, y, z) in the
box's coordinates, in the model's length unit: the box spans 0 to 336 on each
axis (sph.BOX), y up; a particle's neighbours lie within 3.85 of it.)";
constexpr const char* VELOCITIES_DOC = R"((N, 3) float32, read-only view: each particle's velocity (x, y, z), in
length units per unit of time; a frame advances time by sph.TIME_STEP (0.4),
and no particle goes faster than sqrt(8).)";
constexpr const char* DENSITY_DOC = R"((N,) float32, read-only view: each particle's density, in the model's
units: 0.35 at rest, kept within 0.2975 to 0.4025.)";
constexpr const char* PRESSURE_DOC = R"((N,) float32, read-only view: each particle's pressure, in the model's
units, from its density by the stiff equation of state (exponent 7); 0
before the first frame.)";
constexpr const char* MASSES_DOC = R"((N,) float32, read-only view: each particle's mass, its density times its
volume (a sphere of radius 0.3 * 3.85), in the model's units.)";
constexpr const char* IDS_DOC = R"((N,) int32, read-only view: each particle's id, which is its index: row k of
every array is particle k.)";

void bindSimulation(py::module_& module) {
  py::class_<Simulation>(module, "Simulation", R"(The liquid in its box, run frame by frame as the programs run it.

Simulation(threads=1, layers=(20, 20, 40)) seeds the block of X * Y * Z
particles (the programs' block of 16000 by default) and computes each pass on
`threads` worker threads. The same threads, layers and keys give the same
bits as sph-bench. The particle arrays are read-only NumPy views of the
simulation's own memory: they follow every step (copy() keeps a snapshot)
and keep the simulation alive. Out of memory raises MemoryError and changes
nothing.)")
      .def(py::init([](py::handle threads, py::handle layers) {
             const int32_t threadCount = wholeNumber(threads, "threads", 1, MAX_THREAD_COUNT);
             const BlockLayers block = blockLayers(layers);
             py::gil_scoped_release release;
             return std::make_unique<Simulation>(threadCount, block);
           }),
           "threads"_a = 1, "layers"_a = py::make_tuple(PROGRAM_BLOCK.x, PROGRAM_BLOCK.y, PROGRAM_BLOCK.z),
           R"(__init__(self, threads: int = 1, layers: tuple[int, int, int] = (20, 20, 40)) -> None

Seeds a block of X * Y * Z particles (layers, 1 to 160 each) standing in the
back left corner of the box, computed on `threads` worker threads (1 to
1024). Raises ValueError or TypeError for arguments outside those, and
MemoryError when the block does not fit in memory.)")
      .def("step", &step, "frames"_a = 1, "hold"_a = py::tuple(),
           R"(step(self, frames: int = 1, hold: str | Iterable[str] = ()) -> None

Runs `frames` frames (0 to 2147483647) with the arrow keys in `hold` held: a
key name or an iterable of them, "up", "down", "left", "right" (not a
mapping). Each frame is the solver step, the gravity update and the box's
turn, 2 degrees per held key, as in the window. Ctrl-C stops the step
(KeyboardInterrupt) and keeps the frames already run; a frame it stops is
undone. MemoryError (out of memory) also leaves the simulation as it was
before that frame. RuntimeError if another thread is stepping it.)")
      .def("digest", [](py::handle self) { return sha256Hex(stateCsv(self)); },
           R"(digest(self) -> str

The SHA-256, in hex, of the state as sph-bench --dump writes it: what
sha256sum gives for that file.)")
      .def("state_csv",
           [](py::handle self, const std::filesystem::path& path) {
             const std::string text = stateCsv(self);
             std::string error;
             bool written;
             int failure;
             {
               py::gil_scoped_release release;
               written = writeFileAtomically(path.string(), text, error);
               failure = errno;
             }
             if (!written) raiseOSError(error, failure);
           },
           "path"_a, R"(state_csv(self, path: str | os.PathLike) -> None

Writes the state to `path` as sph-bench --dump does (id, position, velocity,
density, pressure, a row a particle): whole or not at all. A file there is
replaced, keeping its mode, access control list and extended attributes; its
other hard links keep the old text. A file the user may not write, or a link
the kernel would not follow, raises PermissionError; OSError if it cannot
write otherwise.)")
      .def_property_readonly("positions", [](py::handle self) {
        return particleField<float>(self, offsetof(Particle, position), true);
      }, POSITIONS_DOC)
      .def_property_readonly("velocities", [](py::handle self) {
        return particleField<float>(self, offsetof(Particle, velocity), true);
      }, VELOCITIES_DOC)
      .def_property_readonly("density", [](py::handle self) {
        return particleField<float>(self, offsetof(Particle, density), false);
      }, DENSITY_DOC)
      .def_property_readonly("pressure", [](py::handle self) {
        return particleField<float>(self, offsetof(Particle, pressure), false);
      }, PRESSURE_DOC)
      .def_property_readonly("masses", [](py::handle self) {
        return particleField<float>(self, offsetof(Particle, mass), false);
      }, MASSES_DOC)
      .def_property_readonly("ids", [](py::handle self) {
        return particleField<int32_t>(self, offsetof(Particle, id), false);
      }, IDS_DOC)
      .def_property_readonly("frame", [](py::handle self) { return simulationClock(made(self)).frame; },
                             "int: frames run since seeding (read at once, even while another thread steps).")
      .def_property_readonly("gravity", [](py::handle self) {
        const FrameState state = simulationClock(made(self)).state;
        return py::make_tuple(state.gravity[0], state.gravity[1], state.gravity[2]);
      }, R"(tuple[float, float, float]: the gravity (x, y, z) the next frame's step uses,
in the box's coordinates, in length units per unit of time squared: 0.042
toward the bottom of the window (0.042 * (0, -1, 0) unturned).)")
      .def_property_readonly("angles", [](py::handle self) {
        const FrameState state = simulationClock(made(self)).state;
        return py::make_tuple(state.angleX, state.angleY);
      }, R"(tuple[float, float]: the box's turn in degrees, about the horizontal axis (up
and down keys) and about the vertical axis (left and right keys); never
wrapped.)")
      .def_property_readonly("threads", [](py::handle self) { return made(self).threads; },
                             "int: the worker threads each pass runs on, as given when made.")
      .def_property_readonly("layers", [](py::handle self) {
        const Simulation& s = made(self);
        return py::make_tuple(s.layers.x, s.layers.y, s.layers.z);
      }, "tuple[int, int, int]: the seeded block's layers (X, Y, Z); N = X * Y * Z particles.")
      .def("__repr__", &describe, "__repr__(self) -> str");
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
        if (!openPendingFile(path.string(), *file, error)) raiseOSError(error, errno);
        return file;
      }), "path"_a, "__init__(self, path: str | os.PathLike) -> None")
      .def("fileno", [](const OwnedPendingFile& file) { return file.descriptor; }, "fileno(self) -> int")
      .def("commit", [](OwnedPendingFile& file) {
        std::string error;
        if (!commitPendingFile(file, error)) raiseOSError(error, errno);
      }, "commit(self) -> None")
      .def("discard", [](OwnedPendingFile& file) { discardPendingFile(file); }, "discard(self) -> None");
  py::class_<ProgressLine>(module, "_ProgressLine", "frames done/total, frames/s on a terminal's standard error")
      .def(py::init([] {
        auto line = std::make_unique<ProgressLine>();
        startProgress(*line, isatty(STDERR_FILENO) == 1, stderr, Clock::now());
        return line;
      }), "__init__(self) -> None")
      .def("update", [](ProgressLine& line, int32_t done, int32_t total) { updateProgress(line, done, total, Clock::now()); },
           "done"_a, "total"_a, "update(self, done: int, total: int) -> None")
      .def("finish", &finishProgress, "finish(self) -> None");
}

}  // namespace
}  // namespace sph

PYBIND11_MODULE(_sph, module) {
  using namespace sph;
  // Each docstring starts with its own signature line, in Python's terms:
  // pybind11's would name the arguments' C++ types (`handle`).
  py::options options;
  options.disable_function_signatures();
  guardForks();
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
