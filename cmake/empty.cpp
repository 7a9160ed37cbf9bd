// An empty unit: gives the shared library (the union of the subsystem archives) and a subsystem
// still without sources something to compile.
