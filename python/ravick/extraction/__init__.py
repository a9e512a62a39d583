"""The roles of ``ravick extract``, one module each: the plan of names, the
stand-ins for missing imports, the checks, the writing and the report."""
