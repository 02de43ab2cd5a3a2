# The native part of the telvix module. Its functions take the plug-in's path first; the
# documented functions of telvix pass telvix.plugin_path().
from typing import Callable, Optional, Sequence, Tuple, Union

import numpy

__version__: str

_FrameTuple = Tuple[Optional[int], str, str, str, str, Optional[str], str, float]

def smooth(plugin: str, image: numpy.ndarray, tolerance: int,
           key: Union[None, str, Sequence[int]], extent: Union[None, str, Sequence[int]],
           threads: Optional[int]) -> numpy.ndarray: ...
def run(plugin: str, input: str, output: str, sequence: bool, options: dict,
        progress: Optional[Callable[[_FrameTuple, int, int], None]]
        ) -> Tuple[list[_FrameTuple], int, bool, float, int, int, list[int]]: ...
_Planned = Tuple[int, str, str]
def plan(input: str, output: str, frames: Optional[str]
         ) -> Tuple[list[_Planned], list[_Planned], bool, list[int]]: ...
def describe_frames(frames: list[int]) -> str: ...
def about(plugin: str) -> str: ...
def parameters(plugin: str) -> list[Tuple[int, str, str, object, Optional[int], Optional[int]]]: ...
