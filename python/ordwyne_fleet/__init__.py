"""Many serving processes, one learner.

`Worker` decides with the fleet's latest model snapshot and logs every
decision and outcome to the fleet's events (files in a directory, or Redis
Streams); `ordwyne train --follow` is the one learner that joins them,
trains one state and publishes the snapshots. See docs/fleet.md.
"""

from .worker import Worker

__all__ = ["Worker"]
