"""What every benchmark under bench/ shares.

  common   sizes, the sequence stamp, settings from the environment
           (BENCH_QUICK, BENCH_ROUNDS, BENCH_OUT, BENCH_TIMEOUT, ...), Failed
  peers/   one module per transport measured next to velmora; a peer that is
           not installed reports why and its row is skipped
  runner   child processes with a timeout, the stream and ping-pong loops
           (every message checked), warm-up, interleaved rounds, medians
  report   the side-by-side tables, plot and JSON; one writer of .md, .json
           and .png for every benchmark

The scripts import it as `harness`: Python puts a script's own folder,
bench/, first on sys.path."""
