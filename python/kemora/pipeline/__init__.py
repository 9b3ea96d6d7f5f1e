"""The pipeline's reporting modules: panogen, the dashboard renderer."""
