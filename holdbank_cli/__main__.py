import sys

from holdbank_cli.main import main

sys.exit(main())
