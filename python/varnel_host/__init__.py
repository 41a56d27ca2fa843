"""Reference host program of the VARNEL patent-search front end.

It creates the worker channel (queues and events keyed as the `GUI` module
expects), starts a search worker, calls `GUI.GUI(...)` on the main thread and
lets the worker finish once the window has closed.
"""
