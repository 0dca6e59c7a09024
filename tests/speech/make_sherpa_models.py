#!/usr/bin/python3
"""Fabricates tiny streaming models for the neural recognizer, with hand-set weights whose
output is known for synthetic input, and broken variants of them.

The models respond to band energy of the recognizer's 80 log-mel features (16 kHz, 10 ms
frames; four frames make one 40 ms output frame):
  - a loud tone near 440 Hz (mel bins 12-17) gives one token, "hello";
  - a loud tone near 4 kHz (mel bins 58-63) gives another, "world" (or, in the transducer,
    "word" when that is a hotword: the two are near tied, "world" ahead by 0.5);
  - anything quiet gives blank, near certainly.
The CTC model emits its token on every loud frame (CTC folds the repeats); the transducer's
encoder keeps the last frame's loudness in its state and emits only at a tone's onset.

  make_sherpa_models.py OUTDIR
writes OUTDIR/ctc (streaming NeMo CTC, lower-case tokens), OUTDIR/transducer (streaming LSTM
transducer, upper-case BPE tokens, bpe.vocab) and OUTDIR/broken/<case>, each a model directory
the recognizer would end the process on, or refuse.
"""
import os
import shutil
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13
FEAT = 80
SUBSAMPLING = 4
CHUNK = 16  # feature frames per chunk: four output frames
THRESHOLD = 0.0  # log-mel energy above which a band counts as loud (silence: about -15.9)
LOW_BINS = range(12, 18)
HIGH_BINS = range(58, 64)


def band_matrix():
    w = np.zeros((FEAT, 2), dtype=np.float32)
    for b in LOW_BINS:
        w[b, 0] = 1.0 / len(LOW_BINS)
    for b in HIGH_BINS:
        w[b, 1] = 1.0 / len(HIGH_BINS)
    return w


def save(graph, path, metadata):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 8
    for k, v in metadata.items():
        entry = model.metadata_props.add()
        entry.key = k
        entry.value = str(v)
    onnx.checker.check_model(model)
    onnx.save(model, path)


def const(name, array):
    return numpy_helper.from_array(np.asarray(array), name)


def frames_mean(inp, out, nodes, inits):
    """[N, T, 80] -> [N, T/4, 80], the mean of each four frames."""
    inits.append(const(out + "_shape", np.array([0, -1, SUBSAMPLING, FEAT], dtype=np.int64)))
    nodes.append(helper.make_node("Reshape", [inp, out + "_shape"], [out + "_r"]))
    nodes.append(helper.make_node("ReduceMean", [out + "_r"], [out], axes=[2], keepdims=0))


def nemo_ctc(path, tokens, metadata_drop=(), metadata_extra=None, streaming=True):
    # tokens: "hello", "world", then the blank (NeMo puts it last and does not count it).
    vocab = len(tokens)
    nodes, inits = [], []
    nodes.append(helper.make_node("Transpose", ["audio_signal"], ["x"], perm=[0, 2, 1]))
    frames_mean("x", "xm", nodes, inits)
    scale = 3.0
    w = np.zeros((FEAT, vocab), dtype=np.float32)
    b = np.zeros((vocab,), dtype=np.float32)
    bands = band_matrix()
    w[:, 0] = bands[:, 0] * scale
    b[0] = -scale * THRESHOLD
    w[:, 1] = bands[:, 1] * scale
    b[1] = -scale * THRESHOLD
    inits += [const("w", w), const("b", b), const("four", np.array(SUBSAMPLING, dtype=np.int64))]
    nodes += [
        helper.make_node("MatMul", ["xm", "w"], ["mm"]),
        helper.make_node("Add", ["mm", "b"], ["logits"]),
        helper.make_node("LogSoftmax", ["logits"], ["log_probs"], axis=-1),
        helper.make_node("Div", ["length", "four"], ["encoded_len"]),
        helper.make_node("Identity", ["cache_last_channel"], ["cache_last_channel_next"]),
        helper.make_node("Identity", ["cache_last_time"], ["cache_last_time_next"]),
        helper.make_node("Identity", ["cache_last_channel_len"], ["cache_last_channel_len_next"]),
    ]
    f = TensorProto.FLOAT
    i64 = TensorProto.INT64
    graph = helper.make_graph(
        nodes, "tiny_nemo_ctc",
        [helper.make_tensor_value_info("audio_signal", f, ["N", FEAT, "W"]),
         helper.make_tensor_value_info("length", i64, ["N"]),
         helper.make_tensor_value_info("cache_last_channel", f, ["N", 1, 1, 1]),
         helper.make_tensor_value_info("cache_last_time", f, ["N", 1, 1, 1]),
         helper.make_tensor_value_info("cache_last_channel_len", i64, ["N"])],
        [helper.make_tensor_value_info("log_probs", f, ["N", "T", vocab]),
         helper.make_tensor_value_info("encoded_len", i64, ["N"]),
         helper.make_tensor_value_info("cache_last_channel_next", f, ["N", 1, 1, 1]),
         helper.make_tensor_value_info("cache_last_time_next", f, ["N", 1, 1, 1]),
         helper.make_tensor_value_info("cache_last_channel_len_next", i64, ["N"])],
        inits)
    meta = {"vocab_size": vocab - 1}
    if streaming:
        meta.update({"window_size": CHUNK, "chunk_shift": CHUNK,
                     "subsampling_factor": SUBSAMPLING})
        for d in (1, 2, 3):
            meta["cache_last_channel_dim%d" % d] = 1
            meta["cache_last_time_dim%d" % d] = 1
    for k in metadata_drop:
        meta.pop(k, None)
    meta.update(metadata_extra or {})
    save(graph, path, meta)


TRANSDUCER_TOKENS = ["<blk>", "<unk>", "\u2581HELLO", "\u2581WORLD", "\u2581WORD"]


def lstm_encoder(path, metadata_drop=(), metadata_extra=None):
    nodes, inits = [], []
    frames_mean("x", "xm", nodes, inits)
    inits += [const("bands_w", band_matrix()),
              const("threshold", np.array(THRESHOLD, dtype=np.float32)),
              const("one", np.array(1.0, dtype=np.float32)),
              const("zero", np.array(0.0, dtype=np.float32)),
              const("s0", np.array([0], dtype=np.int64)),
              const("sm1", np.array([-1], dtype=np.int64)),
              const("sbig", np.array([1 << 30], dtype=np.int64)),
              const("ax1", np.array([1], dtype=np.int64)),
              const("ax2", np.array([2], dtype=np.int64)),
              const("s1", np.array([1], dtype=np.int64))]
    nodes += [
        helper.make_node("MatMul", ["xm", "bands_w"], ["bands"]),
        helper.make_node("Greater", ["bands", "threshold"], ["loud_b"]),
        helper.make_node("Cast", ["loud_b"], ["loud"], to=TensorProto.FLOAT),
        # Loudness of the frame before each frame: the state's for the first one.
        helper.make_node("Transpose", ["h"], ["h_prev"], perm=[1, 0, 2]),
        helper.make_node("Concat", ["h_prev", "loud"], ["with_prev"], axis=1),
        helper.make_node("Slice", ["with_prev", "s0", "sm1", "ax1"], ["prev"]),
        helper.make_node("Sub", ["one", "prev"], ["quiet_before"]),
        helper.make_node("Mul", ["loud", "quiet_before"], ["onset"]),
        # A constant third channel for the joiner's biases.
        helper.make_node("Slice", ["onset", "s0", "s1", "ax2"], ["first"]),
        helper.make_node("Mul", ["first", "zero"], ["zeros"]),
        helper.make_node("Add", ["zeros", "one"], ["ones"]),
        helper.make_node("Concat", ["onset", "ones"], ["encoder_out"], axis=2),
        helper.make_node("Slice", ["loud", "sm1", "sbig", "ax1"], ["last"]),
        helper.make_node("Transpose", ["last"], ["next_h"], perm=[1, 0, 2]),
        helper.make_node("Identity", ["c"], ["next_c"]),
    ]
    f = TensorProto.FLOAT
    graph = helper.make_graph(
        nodes, "tiny_lstm_encoder",
        [helper.make_tensor_value_info("x", f, ["N", "T", FEAT]),
         helper.make_tensor_value_info("h", f, [1, "N", 2]),
         helper.make_tensor_value_info("c", f, [1, "N", 1])],
        [helper.make_tensor_value_info("encoder_out", f, ["N", "T2", 3]),
         helper.make_tensor_value_info("next_h", f, [1, "N", 2]),
         helper.make_tensor_value_info("next_c", f, [1, "N", 1])],
        inits)
    meta = {"model_type": "lstm", "num_encoder_layers": 1, "T": CHUNK,
            "decode_chunk_len": CHUNK, "rnn_hidden_size": 1, "d_model": 2}
    for k in metadata_drop:
        meta.pop(k, None)
    meta.update(metadata_extra or {})
    save(graph, path, meta)


def lstm_decoder(path, vocab):
    nodes, inits = [], [const("dw", np.zeros((1, 3), dtype=np.float32)),
                        const("zero", np.array(0.0, dtype=np.float32)),
                        const("ax1", np.array([1], dtype=np.int64))]
    nodes += [
        helper.make_node("Cast", ["y"], ["yf"], to=TensorProto.FLOAT),
        helper.make_node("ReduceSum", ["yf", "ax1"], ["ys"], keepdims=1),
        helper.make_node("Mul", ["ys", "zero"], ["yz"]),
        helper.make_node("MatMul", ["yz", "dw"], ["decoder_out"]),
    ]
    graph = helper.make_graph(
        nodes, "tiny_decoder",
        [helper.make_tensor_value_info("y", TensorProto.INT64, ["N", 2])],
        [helper.make_tensor_value_info("decoder_out", TensorProto.FLOAT, ["N", 3])], inits)
    save(graph, path, {"vocab_size": vocab, "context_size": 2})


def lstm_joiner(path, vocab):
    # encoder_out channels: onset of the low tone, onset of the high tone, 1.
    w = np.zeros((3, vocab), dtype=np.float32)
    w[:, 0] = [-40.0, -40.0, 20.0]    # blank, unless a tone starts
    w[:, 1] = [0.0, 0.0, -30.0]       # <unk>, never
    w[:, 2] = [40.0, 0.0, -20.0]      # HELLO at a low tone's onset
    w[:, 3] = [0.0, 40.0, -20.0]      # WORLD at a high tone's onset
    w[:, 4] = [0.0, 40.0, -20.5]      # WORD, just behind WORLD
    nodes = [helper.make_node("Add", ["encoder_out", "decoder_out"], ["s"]),
             helper.make_node("MatMul", ["s", "jw"], ["logit"])]
    f = TensorProto.FLOAT
    graph = helper.make_graph(
        nodes, "tiny_joiner",
        [helper.make_tensor_value_info("encoder_out", f, ["N", 3]),
         helper.make_tensor_value_info("decoder_out", f, ["N", 3])],
        [helper.make_tensor_value_info("logit", f, ["N", vocab])], [const("jw", w)])
    save(graph, path, {})


def write_tokens(path, tokens):
    with open(path, "w", encoding="utf-8") as out:
        for i, t in enumerate(tokens):
            out.write("%s %d\n" % (t, i))


def ctc_dir(d, **kw):
    os.makedirs(d, exist_ok=True)
    tokens = kw.pop("tokens", ["\u2581hello", "\u2581world", "<blk>"])
    write_tokens(os.path.join(d, "tokens.txt"), tokens)
    nemo_ctc(os.path.join(d, "model.onnx"), ["\u2581hello", "\u2581world", "<blk>"], **kw)


def transducer_dir(d, bpe=True, **kw):
    os.makedirs(d, exist_ok=True)
    vocab = len(TRANSDUCER_TOKENS)
    write_tokens(os.path.join(d, "tokens.txt"), TRANSDUCER_TOKENS)
    lstm_encoder(os.path.join(d, "encoder-epoch-99-avg-1.onnx"), **kw)
    lstm_decoder(os.path.join(d, "decoder-epoch-99-avg-1.onnx"), vocab)
    lstm_joiner(os.path.join(d, "joiner-epoch-99-avg-1.onnx"), vocab)
    if bpe:
        with open(os.path.join(d, "bpe.vocab"), "w", encoding="utf-8") as out:
            for t in TRANSDUCER_TOKENS:
                out.write("%s\t%s\n" % (t, "0" if t.startswith("<") else "-1"))


def main():
    out = sys.argv[1]
    tmp = out + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    ctc_dir(os.path.join(tmp, "ctc"))
    transducer_dir(os.path.join(tmp, "transducer"))
    transducer_dir(os.path.join(tmp, "transducer-nobpe"), bpe=False)
    broken = os.path.join(tmp, "broken")
    # Each of these ends the process if handed to the recognizer, or is refused by it.
    ctc_dir(os.path.join(broken, "missing-metadata-key"), metadata_drop=["cache_last_time_dim3"])
    ctc_dir(os.path.join(broken, "tokens-without-blank"),
            tokens=["\u2581hello", "\u2581world", "\u2581blank"])
    ctc_dir(os.path.join(broken, "offline-model"), streaming=False)
    ctc_dir(os.path.join(broken, "vocabulary-mismatch"),
            tokens=["\u2581hello", "\u2581world", "\u2581extra", "<blk>"])
    transducer_dir(os.path.join(broken, "no-model-type"), metadata_drop=["model_type"])
    transducer_dir(os.path.join(broken, "unknown-model-type"),
                   metadata_extra={"model_type": "whisper"})
    transducer_dir(os.path.join(broken, "encoder-missing-key"), metadata_drop=["d_model"])
    d = os.path.join(broken, "not-onnx")
    transducer_dir(d)
    with open(os.path.join(d, "encoder-epoch-99-avg-1.onnx"), "w") as f:
        f.write("version https://git-lfs.github.com/spec/v1\noid sha256:0\nsize 1\n")
    d = os.path.join(broken, "truncated-onnx")
    ctc_dir(d)
    with open(os.path.join(d, "model.onnx"), "r+b") as f:
        f.truncate(os.path.getsize(os.path.join(d, "model.onnx")) // 2)
    d = os.path.join(broken, "missing-joiner")
    transducer_dir(d)
    os.remove(os.path.join(d, "joiner-epoch-99-avg-1.onnx"))
    d = os.path.join(broken, "missing-tokens")
    ctc_dir(d)
    os.remove(os.path.join(d, "tokens.txt"))
    d = os.path.join(broken, "malformed-tokens")
    ctc_dir(d)
    with open(os.path.join(d, "tokens.txt"), "a") as f:
        f.write("two words 7\n")
    shutil.rmtree(out, ignore_errors=True)
    os.rename(tmp, out)


if __name__ == "__main__":
    main()
