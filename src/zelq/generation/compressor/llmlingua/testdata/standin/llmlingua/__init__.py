"""A stand-in for the llmlingua package, for the bridge's tests.

PromptCompressor records how it was built and how compress_prompt was
called, and answers with a text that shows both, so a test sees exactly
what crossed the bridge. Some questions ask for special answers.
"""


class PromptCompressor:
    def __init__(self, **kwargs):
        if kwargs.get("model_name") == "broken-model":
            raise RuntimeError("CUDA is not available")
        self.init_kwargs = kwargs
        self.calls = 0

    def compress_prompt(self, **kwargs):
        self.calls += 1
        question = kwargs.get("question")
        if question == "answer none":
            return {"compressed_prompt": None}
        if question == "answer nothing":
            return {}
        if question == "answer empty":
            return {"compressed_prompt": ""}
        if question == "answer a number":
            return {"compressed_prompt": 5}
        if question == "answer a list":
            return ["compressed"]
        if question == "raise":
            raise ValueError("rate must be in (0, 1]")
        if question == "count calls":
            return {"compressed_prompt": str(self.calls)}
        return {"compressed_prompt": repr(self.init_kwargs) + " " + repr(list(kwargs.items()))}
