"""Window scenarios: each runs as `python -m scenarios.<module> <case> [JSON arguments]`
in a process of its own (one Tk root per process), see scenario.run_case."""
