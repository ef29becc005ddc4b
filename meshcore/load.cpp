// Filled in by the loader work.
