from .cli import main as main
