def run(ctx): raise NotImplementedError
