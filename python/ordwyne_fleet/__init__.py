"""Many serving processes, one learner."""
