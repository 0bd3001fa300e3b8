"""The packages only some calls need, imported when such a call is made.

pandas, matplotlib and pyarrow are optional extras of halvorn; a call that
needs one that is missing says which and how to install it, in one form.
"""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, what: str) -> ModuleType:
    """Imports `module` for `what`, the call that needs it.

    Raises ImportError "{what} needs {module}: pip install halvorn[{extra}]"
    when it cannot be imported, with the import's own error as the cause.
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"{what} needs {module}: pip install halvorn[{extra}]") from error
